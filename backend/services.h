#pragma once
// The top floor of the back end: the one place that knows every service.
// The server core (backend/core) serves whatever services it is handed and
// includes none of them; the program and the tests that start a whole back
// end in process hand it this set.

namespace backend {

class BackendServer;

// Adds every service this back end offers, in a fixed order.
void addBuiltinServices(BackendServer& server);

}  // namespace backend
