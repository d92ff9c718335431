#pragma once

// The names of the notifications windows send each other on the default notification centre,
// and of the application and window events they observe.
namespace desktop::notifications {

// A recording bar that is showing is to close.
inline constexpr const char* recordingBarShouldClose = "RecordingBarShouldClose";
// The newly opened recording bar is to show itself.
inline constexpr const char* recordingBarShouldShow = "RecordingBarShouldShow";
// The source picker's choice: "selectedSource" = "fullScreen" or "specificWindow".
inline constexpr const char* sourcePickerDidSelect = "SourcePickerDidSelect";
// The microphone picker closed: "selection" ("mic"), "name" and "id" when a device was chosen.
inline constexpr const char* microphoneWindowDidClose = "MicrophoneWindowDidClose";
// Observed by the preparation page; nothing posts it.
inline constexpr const char* sourcePickerWindowDidClose = "SourcePickerWindowDidClose";

// Posted when the application becomes the active one.
inline constexpr const char* applicationDidBecomeActive = "NSApplicationDidBecomeActive";
// Posted once, as the application is about to quit.
inline constexpr const char* applicationWillTerminate = "NSApplicationWillTerminateNotification";
// Posted as one of the application's windows goes away; "identifier" names its scene.
inline constexpr const char* windowWillClose = "NSWindowWillCloseNotification";

}  // namespace desktop::notifications
