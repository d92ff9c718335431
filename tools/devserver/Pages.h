#pragma once

#include <string>

// The few HTML pages a browser may be sent to while the real services are stood in for.
namespace devserver::pages {

std::string home();
std::string forgotPassword(const std::string& user);
std::string video(const std::string& videoId, const std::string& fileUrl);

}  // namespace devserver::pages
