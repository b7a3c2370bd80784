#include "shell/EncoderSettings.h"

#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "dorvex/engine/LibraryVersions.h"
#include "model/UiText.h"
#include "shell/SettingSwitch.h"
#include "views/window/EncoderBanner.h"

namespace dorvex::app {

namespace {

// The row's title for each tool, in the order of Toolchain::tools.
constexpr std::array<const char*, Toolchain::tools.size()> toolTitles{"JPEG", "PNG", "WebP", "JPEG XL"};

QLabel* line(const QString& text, const QString& name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

QLabel* captionLine(const QString& text, const QString& name, QWidget* parent) {
    QLabel* label = line(text, name, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    label->setFont(small);
    return label;
}

// Two lines, one below the other: the main text (or switch) and its caption.
QWidget* twoLines(QWidget* first, QLabel* second, QWidget* parent) {
    auto* box = new QWidget(parent);
    first->setParent(box);
    second->setParent(box);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    layout->addWidget(first);
    layout->addWidget(second);
    return box;
}

// "libvips 8.14.1 · libheif 1.15.1" for the libraries of these names.
QString versionsOf(const std::vector<LibraryVersions::Library>& libraries, std::initializer_list<std::string_view> names) {
    QStringList parts;
    for (const LibraryVersions::Library& library : libraries)
        for (std::string_view name : names)
            if (library.name == name) parts << QString::fromStdString(library.name + " " + library.version);
    return parts.join(QStringLiteral(" · "));
}

}  // namespace

EncoderSettings::EncoderSettings(SettingsStore& settings, Toolchain toolchain, QWidget* parent)
    : QWidget(parent), toolchain_(std::move(toolchain)) {
    setObjectName(QStringLiteral("encoderSettings"));
    probes_.setMaxThreadCount(1);  // one tool after another, in row order
    auto* form = new QFormLayout(this);
    form->setContentsMargins(24, 20, 24, 20);
    form->setHorizontalSpacing(16);
    form->setVerticalSpacing(10);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignTop);
    for (std::size_t i = 0; i < Toolchain::tools.size(); ++i) {
        const Toolchain::ToolInfo& tool = Toolchain::tools[i];
        const QString name = QString::fromUtf8(tool.fileName.data(), qsizetype(tool.fileName.size()));
        const std::optional<std::string>& path = toolchain_.path(tool.tool);
        Row& row = rows_[i];
        row.version = line(path ? ui("检测中…") : ui("未找到"), name + QStringLiteral("Version"), this);
        row.path = captionLine(path ? QString::fromStdString(*path) : encoderInstallHint(), name + QStringLiteral("Path"), this);
        form->addRow(QString::fromLatin1(toolTitles[i]), twoLines(row.version, row.path, this));
    }
    const std::vector<LibraryVersions::Library> libraries = LibraryVersions::all();
    form->addRow(QStringLiteral("AVIF / HEIC / TIFF / ICNS"),
                 twoLines(line(QStringLiteral("libvips / libheif"), QStringLiteral("imageLibraries"), this),
                          captionLine(versionsOf(libraries, {"libvips", "libheif"}), QStringLiteral("imageLibraryVersions"), this),
                          this));
    form->addRow(QStringLiteral("MP4 / MOV"),
                 twoLines(line(ui("FFmpeg（x265 / x264）"), QStringLiteral("videoLibraries"), this),
                          captionLine(versionsOf(libraries, {"FFmpeg"}), QStringLiteral("videoLibraryVersions"), this),
                          this));
    auto* score = new SettingSwitch(ui("计算感知差异（略慢）"), settings, SettingsKeys::perceptualScore, this);
    score->setObjectName(QStringLiteral("perceptualScoreSwitch"));
    form->addRow(ui("画质评估"),
                 twoLines(score,
                          captionLine(ui("用 butteraugli 比较每张压缩后的图片与原图，\n结果显示在对比窗口和列表的提示里。"),
                                      QStringLiteral("perceptualScoreCaption"), this),
                          this));
}

EncoderSettings::~EncoderSettings() {
    probes_.clear();
    probes_.waitForDone();
}

void EncoderSettings::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!detectionStarted_) detectVersions();
}

void EncoderSettings::detectVersions() {
    detectionStarted_ = true;
    for (std::size_t i = 0; i < Toolchain::tools.size(); ++i) {
        const std::optional<std::string>& path = toolchain_.path(Toolchain::tools[i].tool);
        if (!path) continue;
        QLabel* label = rows_[i].version;
        probes_.start([this, label, path = *path] {
            const std::optional<std::string> version = Toolchain::version(path);
            const QString text = version ? QString::fromStdString(*version) : ui("无法运行");
            // Queued to this page, so a call still waiting when the page goes is dropped with it.
            QMetaObject::invokeMethod(this, [label, text] { label->setText(text); }, Qt::QueuedConnection);
        });
    }
}

}  // namespace dorvex::app
