// A load hook in a translation unit that nothing references by name. It is
// built into its own static library and linked whole into the runtime test,
// the way every library with load hooks is linked; the test sees it only
// through the runtime.

#include "platform/runtime.h"

NS_REGISTER_LOAD_HOOK(15, "RuntimeTestSeparateUnit", [] {
    // The test's own earlier hook registered the log class.
    ns::Runtime::sendClass("RTHookLog", "append:", {"separate"});
    ns::Runtime::registerClass("RTSeparateUnitClass").addClassMethod("greeting", [](ns::Object*, const auto&) {
        return ns::Value("registered from a separate translation unit");
    });
});
