#include "Pages.h"

namespace devserver::pages {
namespace {

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string layout(const std::string& title, const std::string& body) {
    return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" +
           escape(title) +
           "</title><style>"
           "body{margin:0;padding:2rem;background:#111418;color:#e3e6ea;"
           "font-family:system-ui,sans-serif;line-height:1.5}"
           "h1{margin-top:0;font-weight:600}code{color:#9ecbff}"
           "video{display:block;max-width:100%;max-height:80vh;background:#000}"
           "li{margin:.2rem 0}.muted{color:#8b949e}"
           "</style></head><body>" +
           body + "</body></html>\n";
}

}  // namespace

std::string home() {
    return layout("Korvane stand-in services",
                  "<h1>Korvane stand-in services</h1>"
                  "<p>This local process stands in for two remote services: the web "
                  "application's API and the recording API. Nothing here talks to the real "
                  "ones.</p><ul>"
                  "<li><code>POST /api/sagevane/auth</code> sign in, returns a session cookie</li>"
                  "<li><code>POST /api/sagevane/login</code> checks a session cookie</li>"
                  "<li><code>GET /api/v1/health/</code> server time</li>"
                  "<li><code>POST /api/v1/video/upload</code> one chunk of a video upload</li>"
                  "<li><code>GET /api/trade-log/video/&lt;id&gt;?cookie=&lt;cookie&gt;</code> "
                  "plays an uploaded video</li>"
                  "<li><code>GET /forgot-password</code></li></ul>");
}

std::string forgotPassword(const std::string& user) {
    return layout("Korvane - password reset",
                  "<h1>Korvane</h1><p>Password reset is not available in the stand-in "
                  "services.</p><p>Sign in with the demo user <code>" +
                      escape(user) +
                      "</code> and the password printed when the services started.</p>");
}

std::string video(const std::string& videoId, const std::string& fileUrl) {
    return layout("Korvane - trade log video",
                  "<h1>Korvane</h1><p class=\"muted\">Trade log video " + escape(videoId) +
                      "</p><video controls preload=\"metadata\" src=\"" + escape(fileUrl) +
                      "\"></video>");
}

}  // namespace devserver::pages
