#include "views/options/OptionsPopover.h"

#include <QVBoxLayout>

#include "model/ObservablePresetStore.h"

namespace dorvex::app {

OptionsPopover::OptionsPopover(ObservablePresetStore& store, QWidget* parent)
    : QWidget(parent), store_(store), column_(new QVBoxLayout(this)) {
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(8);
    connect(&store_, &ObservablePresetStore::optionsChanged, this, &OptionsPopover::refresh);
}

const CompressionOptions& OptionsPopover::options() const { return store_.options(); }

void OptionsPopover::edit(const std::function<void(CompressionOptions&)>& change) {
    if (refreshing_) return;
    CompressionOptions changed = store_.options();
    change(changed);
    store_.setOptions(changed);
}

void OptionsPopover::refresh() {
    const bool wasRefreshing = refreshing_;
    refreshing_ = true;
    display(store_.options());
    refreshing_ = wasRefreshing;
}

}  // namespace dorvex::app
