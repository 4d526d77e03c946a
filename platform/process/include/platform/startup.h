#pragma once
// What the operating system does before the application's code runs: the
// calling thread becomes the main thread, the launch arguments are recorded
// and every load hook runs. The program's main and the test main call this
// first.

namespace ns {

void processStartup(int argc, char** argv);

}  // namespace ns
