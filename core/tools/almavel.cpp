// The Almavel program. Until the store-assistant screens exist it configures
// the SDK from the sandbox's options file and reports what it did.

#include <cstdio>

#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "core/QRVNetwork.h"
#include "platform/runloop.h"
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

    // One request through the SDK's network front to the back end's health
    // endpoint, by the platform's service host name.
    const std::string healthURL = "https://status.quorvaneapis.com/__admin/health";
    auto network = QRVNetwork::make("status.quorvaneapis.com");
    bool done = false;
    network->getURL(healthURL, {}, nullptr, false, [&](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef error) {
        if (error) {
            std::printf("back end: %s unreachable: %s\n", healthURL.c_str(), error->localizedDescription().c_str());
        } else {
            std::printf("back end: %s answered %ld %s\n", healthURL.c_str(), response->statusCode(),
                        std::string(data.begin(), data.end()).c_str());
        }
        done = true;
    });
    ns::RunLoop::main().runUntil([&] { return done; }, 30);
    QRVLoggerFlush();
    return done ? 0 : 1;
}
