#pragma once
// A service declares its HTTP routes as one table: each row a method, a path
// pattern (see HttpRouter) and a named handler, either a member of the
// service or a free function that takes the service first. Reading the table
// says what the service answers; the handlers say how.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "backend/core/http_util.h"

namespace backend {

// `Extra` are values the installer hands every handler of the table (the
// listener the routes are installed on, for the services that answer
// differently on http and https).
template <class Owner, class... Extra>
struct RouteRow {
    // As route() takes it ("GET" also answers HEAD), or "*" for every method.
    std::string_view method;
    std::string_view pattern;
    std::function<void(Owner&, const Request&, Response&, const std::string& body, const Extra&...)> handler;
};

// Installs the rows in order (the first matching pattern wins) through
// route(), so every answer counts as the handler's own. `owner` must outlive
// the router, as services outlive their listeners.
template <class Owner, class... Extra, std::size_t N>
void installRoutes(HttpRouter& http, Owner& owner, const RouteRow<Owner, Extra...> (&table)[N],
                   const std::type_identity_t<Extra>&... extra) {
    for (const auto& row : table) {
        BodyHandler handler = [&owner, handler = row.handler, extra...](const Request& req, Response& res,
                                                                          const std::string& body) {
            handler(owner, req, res, body, extra...);
        };
        if (row.method == "*") {
            routeAllMethods(http, std::string(row.pattern), handler);
        } else {
            route(http, row.method, std::string(row.pattern), std::move(handler));
        }
    }
}

}  // namespace backend
