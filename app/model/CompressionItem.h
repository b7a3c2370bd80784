#pragma once
// CompressionItem: one dropped file in the app's list — its options, its state (queued, running
// with the latest attempt or progress, finished with the engine's result), the source's pixel
// size once known, and the engine job in flight. Lives on the main thread; every property
// announces a change only when its value changed. The generation tells a current engine report
// from a stale one: it is raised whenever the item is started or stopped.

#include <QObject>

#include <filesystem>
#include <optional>
#include <variant>

#include "dorvex/engine/Compressor.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"
#include "dorvex/model/PixelSize.h"
#include "dorvex/platform/Uuid.h"

namespace dorvex::app {

class CompressionItem : public QObject {
    Q_OBJECT

public:
    // The engine works on the item; `attempt` counts encodes from 1 (0 before the first report),
    // `quality` is the latest encode's, `progress` the latest pass fraction (0…1); each report
    // clears the other.
    struct Running {
        int attempt = 0;
        std::optional<int> quality;
        std::optional<double> progress;
        bool operator==(const Running&) const = default;
    };
    struct Finished {
        CompressionResult result;
        bool operator==(const Finished&) const = default;
    };
    struct Queued {
        bool operator==(const Queued&) const = default;
    };
    using State = std::variant<Running, Finished, Queued>;

    // A queued item; its kind comes from the source's file-name extension.
    CompressionItem(std::filesystem::path source, CompressionOptions options, QObject* parent = nullptr);
    ~CompressionItem() override;

    const Uuid& id() const { return id_; }
    const std::filesystem::path& source() const { return source_; }
    bool isVideo() const { return isVideo_; }
    bool isPDF() const { return isPDF_; }

    const CompressionOptions& options() const { return options_; }
    void setOptions(const CompressionOptions& options);

    const State& state() const { return state_; }
    void setState(const State& state);
    const Running* running() const { return std::get_if<Running>(&state_); }
    const CompressionResult* result() const;
    bool isQueued() const { return std::holds_alternative<Queued>(state_); }

    const std::optional<PixelSize>& sourcePixelSize() const { return sourcePixelSize_; }
    void setSourcePixelSize(const PixelSize& size);

    // False exactly when the item finished successfully in place of its source (which has gone
    // to the trash).
    bool canRecompress() const;

    int generation() const { return generation_; }
    // A new run: raises the generation, sets the state to running before its first report and
    // returns the run's generation. The caller then hands over the run's job.
    int begin();
    void setJob(std::optional<Compressor::Job> job) { job_ = std::move(job); }
    // Raises the generation, cancels the job in flight and forgets it; the state stays.
    void stop();

signals:
    void optionsChanged();
    void stateChanged();
    void sourcePixelSizeChanged();

private:
    Uuid id_ = Uuid::random();
    std::filesystem::path source_;
    bool isVideo_ = false;
    bool isPDF_ = false;
    CompressionOptions options_;
    State state_ = Queued{};
    std::optional<PixelSize> sourcePixelSize_;
    std::optional<Compressor::Job> job_;
    int generation_ = 0;
};

}  // namespace dorvex::app
