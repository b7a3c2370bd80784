// The app model's main-thread costs on a long list: adding 10 000 files in one drop, adding single
// files to that list, and applying 100 000 engine reports that arrive through the queued path
// from another thread, each as a view would see it (the row's status text read on every change).
// Jobs run on the real engine; the reports of the four started jobs are held back and replayed.
// Last, the longest stall of the main thread's event loop while a folder of 100 000 empty files is
// dropped: walked on the main thread (add with paths) and on the collecting thread (add with URLs).
//
//   AppModelBench [files=10000] [events=100000] [dropped=100000]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dorvex/output/FileCollector.h"
#include "platform/WorkFolder.h"
#include "model/AppModel.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

namespace {

// Times every queued call that the main thread handles.
class TimedApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!timing || event->type() != QEvent::MetaCall) return QCoreApplication::notify(receiver, event);
        const auto start = std::chrono::steady_clock::now();
        const bool handled = QCoreApplication::notify(receiver, event);
        nanoseconds.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
        return handled;
    }
    bool timing = false;
    std::vector<double> nanoseconds;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

double milliseconds(const QElapsedTimer& timer) { return double(timer.nsecsElapsed()) / 1e6; }

// The longest gap between two turns of the event loop, in milliseconds, from the moment `drop`
// runs on the loop until the model lists `expected` items and collects no more.
double longestStall(AppModel& model, qsizetype expected, const std::function<void()>& drop) {
    QElapsedTimer sinceTick;
    double longest = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, milliseconds(sinceTick));
        sinceTick.restart();
    });
    ticker.start(0);
    sinceTick.start();
    QTimer::singleShot(0, drop);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    while (model.collecting() || model.items().size() < expected) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return std::max(longest, milliseconds(sinceTick));
}

}  // namespace

int main(int argc, char** argv) {
    TimedApplication application(argc, argv);
    const int fileCount = argc > 1 ? std::stoi(argv[1]) : 10000;
    const int eventCount = argc > 2 ? std::stoi(argv[2]) : 100000;
    const int droppedCount = argc > 3 ? std::stoi(argv[3]) : 100000;

    WorkFolder folder("dorvex-bench-");
    const auto fileName = [](int i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%05d.png", i);
        return std::string(name);
    };
    // Files that fail to decode at once; "single" holds those added one by one.
    fs::create_directories(folder.path() / "drop");
    fs::create_directories(folder.path() / "single");
    for (int i = 0; i < fileCount + 200; ++i) {
        std::ofstream(folder.path() / (i < fileCount ? "drop" : "single") / fileName(i)) << "x";
    }

    // The engine runs every job; the model's report handlers are kept for the replay below.
    struct Held {
        EventHandler onEvent;
        Compressor::CompletionHandler onFinished;
    };
    std::mutex heldLock;
    std::vector<Held> held;
    AppModel::Entry entry = [&](const fs::path& source, const CompressionOptions& options, const Toolchain& toolchain,
                                EventHandler onEvent, Compressor::CompletionHandler onFinished) {
        std::lock_guard guard(heldLock);
        held.push_back({std::move(onEvent), std::move(onFinished)});
        return Compressor::compress(source, options, toolchain, nullptr);
    };

    SettingsStore settings(folder.path() / "config");
    ObservablePresetStore presets(folder.path() / "presets.json", settings);
    AppModel model(presets, Toolchain::locate(), 8, entry);
    // What a view does on every change: read the row's status text.
    std::size_t textBytes = 0;
    QObject::connect(model.itemList(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& top, const QModelIndex&) {
        textBytes += std::size_t(top.data(ItemListModel::StatusTextRole).toString().size());
    });

    QElapsedTimer timer;
    timer.start();
    const std::size_t collected = FileCollector::collect({folder.path() / "drop"}).files.size();
    const double collectMs = milliseconds(timer);

    const std::size_t heapBefore = mallinfo2().uordblks;
    timer.restart();
    model.add(std::vector{folder.path() / "drop"});
    const double addMs = milliseconds(timer);
    const double bytesPerItem = double(mallinfo2().uordblks - heapBefore) / fileCount;

    std::vector<double> singleMs;
    for (int i = fileCount; i < fileCount + 200; ++i) {
        timer.restart();
        model.add(std::vector{folder.path() / "single" / fileName(i)});
        singleMs.push_back(milliseconds(timer));
    }

    std::vector<Held> running;
    {
        std::lock_guard guard(heldLock);
        running = held;
    }
    std::printf("items %lld, running %d (reports held back: %zu)\n", static_cast<long long>(model.items().size()),
                model.runningCount(), running.size());

    application.timing = true;
    std::thread producer([&] {
        for (int i = 0; i < eventCount; ++i) {
            const Held& job = running[std::size_t(i) % running.size()];
            const int attempt = i / int(running.size());
            if (i % 2 == 0) {
                job.onEvent(CompressionEvent{CompressionEvent::Attempt{attempt, 80 - attempt % 60, std::nullopt, 1000}});
            } else {
                job.onEvent(CompressionEvent{CompressionEvent::Progress{attempt, (attempt % 100) / 100.0}});
            }
        }
    });
    timer.restart();
    while (application.nanoseconds.size() < std::size_t(eventCount)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    const double deliveryMs = milliseconds(timer);
    producer.join();
    application.timing = false;

    std::printf("add %d files in one drop: %.1f ms (%.1f µs per file; collecting the %zu files alone: %.1f ms), "
                "heap %.0f bytes per item\n",
                fileCount, addMs, addMs * 1000 / fileCount, collected, collectMs, bytesPerItem);
    std::printf("add one file to the list: median %.3f ms, 99th percentile %.3f ms\n", percentile(singleMs, 0.5),
                percentile(singleMs, 0.99));
    const auto& ns = application.nanoseconds;
    std::printf("%d reports through the queued path in %.0f ms: per report median %.1f µs, 99th percentile %.1f µs, "
                "max %.1f µs (status text read: %zu characters)\n",
                eventCount, deliveryMs, percentile(ns, 0.5) / 1000, percentile(ns, 0.99) / 1000,
                *std::max_element(ns.begin(), ns.end()) / 1000, textBytes);

    for (const Held& job : running) {
        CompressionResult cancelled;
        cancelled.status = CompressionResult::Failed{std::string(cancelledText)};
        job.onFinished(cancelled);
    }
    model.shutdown();

    fs::create_directories(folder.path() / "stall");
    for (int i = 0; i < droppedCount; ++i) std::ofstream(folder.path() / "stall" / (fileName(i) + ".jpg"));
    const fs::path stall = folder.path() / "stall";
    for (const bool onMainThread : {true, false}) {
        AppModel dropped(presets, Toolchain::locate(), 8, entry);
        const double longest = longestStall(dropped, droppedCount, [&] {
            if (onMainThread) {
                dropped.add(std::vector{stall});
            } else {
                dropped.add(QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(stall.string()))});
            }
        });
        std::printf("drop a folder of %d files, walked %s: longest event-loop stall %.1f ms\n", droppedCount,
                    onMainThread ? "on the main thread" : "on the collecting thread", longest);
    }
    return 0;
}
