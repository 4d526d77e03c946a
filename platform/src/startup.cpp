#include "platform/startup.h"

#include <string>
#include <vector>

#include "platform/process_info.h"
#include "platform/runloop.h"
#include "platform/runtime.h"

namespace ns {

void processStartup(int argc, char** argv) {
    RunLoop::bindMainThread();
    std::vector<std::string> arguments(argv, argv + argc);
    ProcessInfo::processInfo().setArguments(std::move(arguments));
    Runtime::runLoadHooks();
}

}  // namespace ns
