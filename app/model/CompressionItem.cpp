#include "model/CompressionItem.h"

#include "dorvex/model/FileType.h"

namespace dorvex::app {

CompressionItem::CompressionItem(std::filesystem::path source, CompressionOptions options, QObject* parent)
    : QObject(parent), source_(std::move(source)), options_(std::move(options)) {
    const OutputFormat kind = OutputFormat::original(FileType::fromPath(source_.string()));
    isVideo_ = kind.isVideo();
    isPDF_ = kind.isPDF();
}

// A job still in flight is not waited for: it is told to stop and its report goes nowhere.
CompressionItem::~CompressionItem() { stop(); }

void CompressionItem::setOptions(const CompressionOptions& options) {
    if (options_ == options) return;
    options_ = options;
    emit optionsChanged();
}

void CompressionItem::setState(const State& state) {
    if (state_ == state) return;
    state_ = state;
    emit stateChanged();
}

const CompressionResult* CompressionItem::result() const {
    const auto* finished = std::get_if<Finished>(&state_);
    return finished ? &finished->result : nullptr;
}

void CompressionItem::setSourcePixelSize(const PixelSize& size) {
    if (sourcePixelSize_ == size) return;
    sourcePixelSize_ = size;
    emit sourcePixelSizeChanged();
}

bool CompressionItem::canRecompress() const {
    const CompressionResult* finished = result();
    return !(finished && finished->isSuccess() && options_.saveLocation.isOverwrite());
}

int CompressionItem::begin() {
    ++generation_;
    setState(Running{});
    return generation_;
}

void CompressionItem::stop() {
    ++generation_;
    if (job_) job_->cancel();
    job_.reset();
}

}  // namespace dorvex::app
