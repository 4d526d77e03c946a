// The Almavel program. Until the store-assistant screens exist it configures
// the SDK from the sandbox's options file and reports what it did.

#include <cstdio>

#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "platform/startup.h"

int main(int argc, char** argv) {
    ns::processStartup(argc, argv);

    ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAppReadyToConfigureSDKNotification, nullptr, nullptr, [](const ns::Notification& note) {
            std::printf("configure notification: app %s, default %s, app ID %s\n",
                        note.userInfo.at(kQRVAppNameKey).description().c_str(),
                        note.userInfo.at(kQRVAppIsDefaultAppKey).asBool() ? "yes" : "no",
                        note.userInfo.at(kQRVOndrixAppIDKey).description().c_str());
        });

    std::printf("bundle: %s\n", ns::Bundle::mainBundle()->bundlePath().c_str());
    try {
        QRVApp::configure();
    } catch (const ns::Exception& e) {
        std::fprintf(stderr, "configure failed: %s: %s\n", e.name().c_str(), e.reason().c_str());
        QRVLoggerFlush();
        return 1;
    }
    auto app = QRVApp::defaultApp();
    auto options = app->options();
    std::printf("default app: %s\n", app->name().c_str());
    std::printf("  app ID:         %s\n", options->ondrixAppID().value_or("(none)").c_str());
    std::printf("  database URL:   %s\n", options->databaseURL().value_or("(none)").c_str());
    std::printf("  storage bucket: %s\n", options->storageBucket().value_or("(none)").c_str());
    std::printf("  sender ID:      %s\n", options->KDXSenderID().value_or("(none)").c_str());
    QRVLoggerFlush();
    return 0;
}
