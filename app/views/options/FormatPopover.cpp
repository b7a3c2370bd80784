#include "views/options/FormatPopover.h"

#include <QButtonGroup>
#include <QLabel>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "model/UiText.h"
#include "views/options/PopoverText.h"
#include "views/options/SegmentedPicker.h"
#include "views/options/SwitchButton.h"

namespace dorvex::app {

namespace {

// The radio buttons' ids: the source's own format, then OutputFormat::selectable() from 1 on.
constexpr int originalChoice = 0;

QString text(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// The position of `value` among an enumeration's cases, which the pickers list in that order.
template <typename Enum>
int indexIn(std::span<const Enum> cases, Enum value) {
    for (std::size_t index = 0; index < cases.size(); ++index)
        if (cases[index] == value) return int(index);
    return -1;
}

// A shown label above a control, both in one row that appears and disappears together.
QWidget* labelled(const QString& label, QWidget* control) {
    auto* row = new QWidget;
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(new QLabel(label));
    layout->addWidget(control);
    return row;
}

}  // namespace

QString FormatPopover::hint(OutputFormat format) {
    switch (format) {
    case OutputFormat::jpeg: return ui("兼容性最好");
    case OutputFormat::png: return ui("无损，支持透明");
    case OutputFormat::webp: return ui("网页通用");
    case OutputFormat::avif: return ui("体积最小");
    case OutputFormat::heic: return ui("苹果设备");
    case OutputFormat::jxl: return ui("新格式，支持的软件少");
    default: return {};
    }
}

FormatPopover::FormatPopover(ObservablePresetStore& store, QWidget* parent)
    : OptionsPopover(store, parent), choices_(new QButtonGroup(this)), formatSwitches_(new QStackedWidget),
      noSwitch_(new QWidget), jxlLossless_(new SwitchButton(ui("JXL 无损"))),
      tiffCompression_(new SegmentedPicker({QStringLiteral("LZW"), QStringLiteral("ZIP")})),
      videoCodec_(new SegmentedPicker({ui("HEVC · 更小"), ui("H.264 · 兼容")})) {
    setObjectName(QStringLiteral("formatPopover"));
    column()->addWidget(PopoverText::title(ui("输出格式")));

    auto* formats = new QWidget;
    formats->setObjectName(QStringLiteral("formatChoices"));
    formats->setAccessibleName(ui("格式"));
    auto* formatColumn = new QVBoxLayout(formats);
    formatColumn->setContentsMargins(0, 0, 0, 0);
    formatColumn->setSpacing(4);
    auto addChoice = [&](const QString& label, const QString& name, int id) {
        auto* button = new QRadioButton(label);
        button->setObjectName(QStringLiteral("formatChoice-") + name);
        choices_->addButton(button, id);
        formatColumn->addWidget(button);
    };
    addChoice(ui("原格式（按源格式输出）"), QStringLiteral("original"), originalChoice);
    const auto selectable = OutputFormat::selectable();
    for (std::size_t index = 0; index < selectable.size(); ++index) {
        const OutputFormat format = selectable[index];
        addChoice(text(format.displayName()) + QStringLiteral(" · ") + hint(format), text(format.rawValue()),
                  int(index) + 1);
    }
    column()->addWidget(formats);

    jxlLossless_->setObjectName(QStringLiteral("jxlLosslessSwitch"));
    tiffCompression_->setObjectName(QStringLiteral("tiffCompressionPicker"));
    tiffCompression_->setAccessibleName(ui("TIFF 压缩"));
    tiffRow_ = labelled(ui("TIFF 压缩"), tiffCompression_);
    auto* jxlPage = new QWidget;  // the switch at the top of its place, as the TIFF row is
    auto* jxlColumn = new QVBoxLayout(jxlPage);
    jxlColumn->setContentsMargins(0, 4, 0, 0);
    jxlColumn->addWidget(jxlLossless_);
    jxlColumn->addStretch();
    formatSwitches_->setObjectName(QStringLiteral("formatSwitches"));
    for (QWidget* page : {noSwitch_, jxlPage, tiffRow_}) formatSwitches_->addWidget(page);
    column()->addWidget(formatSwitches_);
    videoCodec_->setObjectName(QStringLiteral("videoCodecPicker"));
    videoCodec_->setAccessibleName(ui("视频编码"));
    column()->addWidget(labelled(ui("视频编码"), videoCodec_));

    connect(choices_, &QButtonGroup::idToggled, this, [this, selectable](int id, bool checked) {
        if (!checked) return;
        edit([&](CompressionOptions& o) {
            o.format = id == originalChoice ? std::nullopt : std::optional<OutputFormat>(selectable[std::size_t(id - 1)]);
        });
    });
    connect(jxlLossless_, &QAbstractButton::toggled, this,
            [this](bool on) { edit([&](CompressionOptions& o) { o.jxlLossless = on; }); });
    connect(tiffCompression_, &SegmentedPicker::activated, this, [this](int index) {
        edit([&](CompressionOptions& o) { o.tiffCompression = TIFFCompression::allCases()[std::size_t(index)]; });
    });
    connect(videoCodec_, &SegmentedPicker::activated, this, [this](int index) {
        edit([&](CompressionOptions& o) { o.videoCodec = VideoCodec::allCases()[std::size_t(index)]; });
    });
    refresh();
}

void FormatPopover::display(const CompressionOptions& options) {
    const int offered = options.format ? indexIn(OutputFormat::selectable(), *options.format) : -1;
    const int checked = !options.format ? originalChoice : offered < 0 ? -1 : offered + 1;
    if (QAbstractButton* button = choices_->button(checked)) {
        button->setChecked(true);
    } else if (QAbstractButton* shown = choices_->checkedButton()) {
        // A format that is not offered (a source's own, stored in an edited preset): no choice.
        choices_->setExclusive(false);
        shown->setChecked(false);
        choices_->setExclusive(true);
    }
    QWidget* switches = !options.format ? tiffRow_ : options.format == OutputFormat::jxl ? jxlLossless_->parentWidget() : noSwitch_;
    formatSwitches_->setCurrentWidget(switches);
    jxlLossless_->setChecked(options.jxlLossless);
    tiffCompression_->setCurrent(indexIn(TIFFCompression::allCases(), options.tiffCompression));
    videoCodec_->setCurrent(indexIn(VideoCodec::allCases(), options.videoCodec));
}

}  // namespace dorvex::app
