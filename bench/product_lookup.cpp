// The app's product road against the seeded back end, measured against the
// SDK calls it is made of, in the same run ("ratio" = app time / SDK time):
//   - subject: the camera reads the drill's EAN-13 label on the barcode
//     screen; timed until the result screen is on top with the downloaded
//     photo in place, touches answered again, and the window drawn;
//   - baseline: the same record read once (Productos/<code>, value event)
//     and then the same photo downloaded (products/<code>.jpg, at most
//     1 MiB) directly through the SDK, as the look-up and the result screen
//     do one after the other.
// Everything runs on the main thread, as the app does: completions arrive
// on the main queue, which the loop below pumps.

#include <benchmark/benchmark.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "app/AppDriver.h"
#include "app/CapturaViewController.h"
#include "app/ResultViewController.h"
#include "database/api/QRVDatabase.h"
#include "database/api/QRVDatabaseReference.h"
#include "platform/application.h"
#include "platform/runloop.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageReference.h"
#include "support/app_bench.h"
#include "support/fixture.h"
#include "support/paired.h"
#include "uikit/AVFoundation.h"
#include "uikit/renderer.h"

namespace {

constexpr const char* kLabel = "0741751003253";
constexpr const char* kCode = "741751003253";

void pumpUntil(const std::function<bool()>& done, const char* what) {
    if (!ns::RunLoop::main().runUntil(done, 60)) throw std::runtime_error(std::string("timed out: ") + what);
}

class Fixture {
public:
    Fixture() {
        backend_ = appbench::prepareAppLaunch(sandbox_);
        camera_ = ns::AVCaptureDevice::installVirtualCamera();
        driver_ = almavel::AppDriver::launch();
        if (!(driver_.type("txtUser", "personal@almavel.com.pa") && driver_.type("txtPass", "Almavel2024") &&
              driver_.tap("logIn") && driver_.waitUntilIdle() && driver_.tap("btCap") && driver_.waitUntilIdle())) {
            throw std::runtime_error("the app did not reach the barcode screen: " + driver_.lastError());
        }
        nav_ = std::dynamic_pointer_cast<ns::UINavigationController>(driver_.window()->topmostViewController());
        if (!nav_ || !std::dynamic_pointer_cast<almavel::CapturaViewController>(nav_->topViewController())) {
            throw std::runtime_error("no barcode screen");
        }
    }

    double scanToResult() {
        const auto start = std::chrono::steady_clock::now();
        camera_->showCode(ns::AVMetadataObjectTypeEAN13Code, kLabel);
        std::shared_ptr<almavel::ResultViewController> result;
        bool shown = false;
        pumpUntil(
            [&] {
                result = std::dynamic_pointer_cast<almavel::ResultViewController>(nav_->topViewController());
                if (result && !shown) {
                    shown = true;
                    lookUpSeconds += appbench::secondsSince(start);
                }
                if (!result || ns::Application::shared()->isIgnoringInteractionEvents()) return false;
                auto photo = result->prodPhoto.lock();
                return photo && photo->image() != almavel::ResultViewController::placeholderImage();
            },
            "the result screen with its photo");
        const auto drawing = std::chrono::steady_clock::now();
        ns::snapshotWindow(*driver_.window());
        drawSeconds += appbench::secondsSince(drawing);
        const double elapsed = appbench::secondsSince(start);
        // Back to the camera, which reads again once the screen reappears.
        nav_->popViewControllerAnimated(false);
        pumpUntil([&] { return !ns::Application::shared()->isIgnoringInteractionEvents(); }, "the barcode screen");
        return elapsed;
    }

    double readAndDownload() {
        const auto start = std::chrono::steady_clock::now();
        bool read = false, downloaded = false;
        std::string failure;
        QRVDatabase::database()->reference()->child("Productos")->child(kCode)->observeSingleEventOfType(
            QRVDataEventTypeValue, [&](QRVDataSnapshotPtr snapshot) {
                if (!snapshot->hasChildren()) failure = "no product";
                read = true;
            });
        pumpUntil([&] { return read; }, "the product read");
        QRVStorage::storage()->reference()->child(std::string("products/") + kCode + ".jpg")->dataWithMaxSize(
            almavel::kMaxPhotoBytes, [&](std::shared_ptr<const ns::Data> data, ns::ErrorRef error) {
                if (error || !data || data->empty()) failure = error ? error->description() : "no photo";
                downloaded = true;
            });
        pumpUntil([&] { return downloaded; }, "the photo download");
        if (!failure.empty()) throw std::runtime_error(failure);
        return appbench::secondsSince(start);
    }

    // Summed over the runs: from the scan to the result screen on top (the
    // record read, the keys written, the screen made), and drawing the window.
    double lookUpSeconds = 0;
    double drawSeconds = 0;

private:
    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::shared_ptr<ns::AVCaptureDevice> camera_;
    almavel::AppDriver driver_;
    std::shared_ptr<ns::UINavigationController> nav_;
};

Fixture& fixture() {
    return benchsupport::sharedFixture<Fixture>();
}

void ScanToResultWithPhoto(benchmark::State& state) {
    const benchsupport::PairedTotals totals = benchsupport::runPaired(
        state,
        [] {
            fixture().drawSeconds = 0;
            fixture().lookUpSeconds = 0;
        },
        [] { return fixture().scanToResult(); }, [] { return fixture().readAndDownload(); });
    if (!totals.ran) return;
    state.counters["ratio"] = totals.subject / totals.baseline;
    state.counters["sdk ms"] = totals.baseline * 1000 / double(state.iterations());
    state.counters["draw ms"] = fixture().drawSeconds * 1000 / double(state.iterations());
    state.counters["to screen ms"] = fixture().lookUpSeconds * 1000 / double(state.iterations());
}

BENCHMARK(ScanToResultWithPhoto)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
