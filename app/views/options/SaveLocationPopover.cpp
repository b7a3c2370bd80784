#include "views/options/SaveLocationPopover.h"

#include <QComboBox>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dorvex/library/SettingsStore.h"
#include "dorvex/model/FileUrl.h"
#include "dorvex/output/OutputPlanner.h"
#include "model/UiText.h"
#include "views/options/ElidedLabel.h"
#include "views/options/Popover.h"
#include "views/options/PopoverText.h"

namespace dorvex::app {

namespace fs = std::filesystem;

namespace {

// The source whose output name the preview shows, named in the user's language.
fs::path sampleSource() { return fs::path(QFile::encodeName(ui("/照片.jpg")).toStdString()); }

QString text(const std::string& s) { return QString::fromStdString(s); }

// The same location with another suffix; the overwrite mode has none.
SaveLocation withSuffix(const SaveLocation& location, std::string suffix) {
    if (const auto* folder = std::get_if<SaveLocation::Folder>(&location.value))
        return SaveLocation::folder(folder->folder, std::move(suffix));
    if (location.isOverwrite()) return location;
    return SaveLocation::sourceFolder(std::move(suffix));
}

// Why outputs cannot be named so, in the engine's words; none when they can. Besides the naming
// check, an output beside its source must not take the source's own name, which happens to every
// source already in the output's format when the prefix and the suffix are both empty: the sample
// checked is such a source.
std::optional<std::string> namingProblem(const CompressionOptions& options) {
    try {
        OutputPlanner::validateNaming(options.filenamePrefix, options.saveLocation);
    } catch (const OutputPlanner::NamingError& error) {
        return error.what();
    }
    if (options.saveLocation.isOverwrite()) return std::nullopt;
    const OutputFormat format = options.format.value_or(OutputFormat::jpeg);
    const fs::path source = fs::path(sampleSource()).replace_extension(fs::path(format.fileExtension()));
    const fs::path output = OutputPlanner::destination(source, format, options.saveLocation, options.filenamePrefix);
    if (output == source) return OutputPlanner::WriteError::wouldOverwriteSource(output).what();
    return std::nullopt;
}

// Sets a field's text only when it differs: setting it moves the cursor to the end, which would
// happen on every key typed, since each edit comes back as a change of the options.
void setFieldText(QLineEdit* field, const QString& value) {
    if (field->text() != value) field->setText(value);
}

}  // namespace

std::optional<fs::path> SaveLocationPopover::chooseFolderWithDialog(QWidget* parent) {
    // The desktop's own chooser where the platform theme offers one (through the desktop portal
    // when the application runs with it, see main.cpp), else Qt's dialog in the desktop's language.
    QFileDialog dialog(parent, ui("选择文件夹"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, ui("选择"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return fs::path(QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString());
}

SaveLocationPopover::Mode SaveLocationPopover::modeOf(const SaveLocation& location) {
    if (std::holds_alternative<SaveLocation::Folder>(location.value)) return Mode::folder;
    return location.isOverwrite() ? Mode::overwrite : Mode::source;
}

std::string SaveLocationPopover::suffixOf(const SaveLocation& location) {
    if (const auto* source = std::get_if<SaveLocation::SourceFolder>(&location.value)) return source->suffix;
    if (const auto* folder = std::get_if<SaveLocation::Folder>(&location.value)) return folder->suffix;
    return std::string(SaveLocation::defaultSuffix);
}

SaveLocationPopover::SaveLocationPopover(ObservablePresetStore& store, SettingsStore& settings,
                                         FolderChooser chooseFolder, QWidget* parent)
    : OptionsPopover(store, parent), settings_(settings), chooseFolder_(std::move(chooseFolder)),
      mode_(new QComboBox), folderRow_(new QWidget), folder_(new ElidedLabel),
      overwriteNote_(PopoverText::caption(ui("原图会移到回收站，可以找回。"), PopoverText::Tint::warning)),
      naming_(new QWidget), prefix_(new QLineEdit), suffix_(new QLineEdit), preview_(new ElidedLabel),
      error_(PopoverText::caption({}, PopoverText::Tint::error)) {
    setObjectName(QStringLiteral("saveLocationPopover"));
    mode_->setObjectName(QStringLiteral("saveModePicker"));
    mode_->setAccessibleName(ui("保存位置"));
    mode_->addItems({ui("原图所在目录"), ui("指定目录"), ui("覆盖原图")});
    folder_->setObjectName(QStringLiteral("outputFolderLabel"));
    overwriteNote_->setObjectName(QStringLiteral("overwriteNote"));
    prefix_->setObjectName(QStringLiteral("filenamePrefixField"));
    prefix_->setPlaceholderText(ui("无"));
    suffix_->setObjectName(QStringLiteral("filenameSuffixField"));
    preview_->setObjectName(QStringLiteral("namingPreview"));
    PopoverText::style(preview_, PopoverText::Tint::secondary);
    error_->setObjectName(QStringLiteral("namingError"));

    auto* chooseButton = new QPushButton(ui("选择…"));
    chooseButton->setObjectName(QStringLiteral("chooseFolderButton"));
    auto* folderLayout = new QHBoxLayout(folderRow_);
    folderLayout->setContentsMargins(0, 0, 0, 0);
    folderLayout->addWidget(folder_, 1);
    folderLayout->addWidget(chooseButton);

    auto* fields = new QFormLayout;
    fields->setContentsMargins(0, 0, 0, 0);
    fields->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    fields->addRow(ui("文件名前缀"), prefix_);
    fields->addRow(ui("文件名后缀"), suffix_);
    auto* namingLayout = new QVBoxLayout(naming_);
    namingLayout->setContentsMargins(0, 4, 0, 0);
    namingLayout->setSpacing(6);
    namingLayout->addLayout(fields);
    namingLayout->addWidget(preview_);
    namingLayout->addWidget(error_);

    column()->addWidget(PopoverText::title(ui("保存位置")));
    column()->addWidget(mode_);
    column()->addWidget(folderRow_);
    column()->addWidget(overwriteNote_);
    column()->addWidget(naming_);

    connect(mode_, &QComboBox::currentIndexChanged, this, [this](int index) { choose(Mode(index)); });
    connect(chooseButton, &QPushButton::clicked, this, &SaveLocationPopover::changeFolder);
    connect(prefix_, &QLineEdit::textChanged, this, &SaveLocationPopover::namingEdited);
    connect(suffix_, &QLineEdit::textChanged, this, &SaveLocationPopover::namingEdited);
    refresh();
}

void SaveLocationPopover::display(const CompressionOptions& options) {
    const SaveLocation& location = options.saveLocation;
    const Mode mode = modeOf(location);
    mode_->setCurrentIndex(int(mode));
    folderRow_->setVisible(mode == Mode::folder);
    if (const auto* folder = std::get_if<SaveLocation::Folder>(&location.value)) {
        folder_->setText(text(folder->folder.string()));
        folder_->setToolTip(folder_->text());
    }
    overwriteNote_->setVisible(mode == Mode::overwrite);
    naming_->setVisible(mode != Mode::overwrite);
    setFieldText(prefix_, text(options.filenamePrefix));
    setFieldText(suffix_, text(suffixOf(location)));
    showNaming(options);
}

void SaveLocationPopover::hideEvent(QHideEvent* event) {
    OptionsPopover::hideEvent(event);
    refresh();  // a refused prefix or suffix gives way to the one in force
}

void SaveLocationPopover::namingEdited() {
    if (isRefreshing()) return;
    CompressionOptions typed = options();
    typed.filenamePrefix = prefix_->text().toStdString();
    typed.saveLocation = withSuffix(typed.saveLocation, suffix_->text().toStdString());
    // A naming that cannot work stays in its field with the reason below; the options keep the
    // last one that can.
    if (!namingProblem(typed)) {
        edit([&](CompressionOptions& o) {
            o.filenamePrefix = typed.filenamePrefix;
            o.saveLocation = typed.saveLocation;
        });
    }
    showNaming(typed);
}

void SaveLocationPopover::showNaming(const CompressionOptions& options) {
    if (const std::optional<std::string> problem = namingProblem(options)) {
        error_->setText(text(*problem));
        preview_->clear();
    } else {
        const fs::path example = OutputPlanner::destination(sampleSource(), options.format.value_or(OutputFormat::jpeg),
                                                            options.saveLocation, options.filenamePrefix);
        preview_->setText(ui("示例：%1").arg(text(example.filename().string())));
        preview_->setToolTip(preview_->text());
        error_->clear();
    }
    preview_->setVisible(error_->text().isEmpty());
    error_->setVisible(!error_->text().isEmpty());
}

void SaveLocationPopover::choose(Mode mode) {
    if (isRefreshing()) return;
    switch (mode) {
    case Mode::source: {
        // Beside their sources, outputs need names of their own: the default suffix when the
        // naming kept from a folder would give them their sources' names.
        CompressionOptions beside = options();
        beside.saveLocation = SaveLocation::sourceFolder(suffixOf(beside.saveLocation));
        if (namingProblem(beside)) beside.saveLocation = SaveLocation::sourceFolder(std::string(SaveLocation::defaultSuffix));
        return edit([&](CompressionOptions& o) { o.saveLocation = beside.saveLocation; });
    }
    case Mode::overwrite: return edit([](CompressionOptions& o) { o.saveLocation = SaveLocation::overwrite(); });
    case Mode::folder: break;
    }
    std::optional<fs::path> folder = rememberedFolder();
    if (!folder) folder = askForFolder();
    if (!folder) return refresh();  // the picker goes back to the mode in force
    useFolder(*folder);
}

void SaveLocationPopover::changeFolder() {
    if (const std::optional<fs::path> folder = askForFolder()) useFolder(*folder);
}

void SaveLocationPopover::useFolder(const fs::path& folder) {
    edit([&](CompressionOptions& o) { o.saveLocation = SaveLocation::folder(folder, suffixOf(o.saveLocation)); });
}

std::optional<fs::path> SaveLocationPopover::askForFolder() {
    std::optional<fs::path> folder = chooseFolder_(Popover::dismissFor(this));
    if (!folder) return std::nullopt;
    try {
        settings_.setValue(SettingsKeys::lastOutputFolder, folder->string());
    } catch (const std::exception& error) {
        qWarning().noquote() << QStringLiteral("Dorvex: 保存设置失败：") << error.what();
    }
    return folder;
}

std::optional<fs::path> SaveLocationPopover::rememberedFolder() const {
    const std::optional<std::string> stored = settings_.stringValue(SettingsKeys::lastOutputFolder);
    if (!stored || stored->empty()) return std::nullopt;
    if (stored->starts_with("file:")) return FileUrl::toPath(*stored);
    const fs::path folder(*stored);
    return folder.is_absolute() ? std::optional(folder) : std::nullopt;
}

}  // namespace dorvex::app
