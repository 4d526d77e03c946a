#pragma once
// The browser page of the web host (app/WebHost.h): HTML, style and script
// in one document, no external resources.

#include <string>

namespace almavel {

const std::string& webPageHTML();

}  // namespace almavel
