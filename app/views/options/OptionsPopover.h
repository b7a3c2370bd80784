#pragma once
// OptionsPopover: what the four option popovers share — the preset store whose current options
// they edit, one write per change of a control, and the refresh that shows the store's options
// whenever they change, from this popover or anywhere else.

#include <QWidget>

#include <functional>

#include "dorvex/model/CompressionOptions.h"

class QVBoxLayout;

namespace dorvex::app {

class ObservablePresetStore;

class OptionsPopover : public QWidget {
    Q_OBJECT

protected:
    OptionsPopover(ObservablePresetStore& store, QWidget* parent);

    const CompressionOptions& options() const;
    // Writes one change of the current options. Ignored while the popover shows the store's
    // options: a control set by display() reports a change that the user did not make.
    void edit(const std::function<void(CompressionOptions&)>& change);
    // Shows the store's options through display(). Subclasses call it at the end of their
    // constructor; afterwards every change of the options calls it.
    void refresh();
    virtual void display(const CompressionOptions& options) = 0;
    bool isRefreshing() const { return refreshing_; }

    // The popover's column: no margins (the popover's frame has them), rows 8 px apart.
    QVBoxLayout* column() const { return column_; }

private:
    ObservablePresetStore& store_;
    QVBoxLayout* column_;
    bool refreshing_ = false;
};

}  // namespace dorvex::app
