#pragma once
// The browser page of the web host (app/WebHost.h): HTML, style and script
// in one document, no external resources.

#include <string_view>

namespace almavel {

std::string_view webPageHTML();

}  // namespace almavel
