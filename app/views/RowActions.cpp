#include "views/RowActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>

#include "model/CompressionItem.h"
#include "model/UiText.h"
#include "views/ResultRowDelegate.h"
#include "views/ThemeIcon.h"

namespace dorvex::app {

namespace {

constexpr int buttonSide = 24;
constexpr int buttonGap = 4;

// The output of a finished item, if it has one.
const std::optional<std::filesystem::path>* output(const CompressionItem& item) {
    const CompressionResult* result = item.result();
    return result && result->output ? &result->output : nullptr;
}

// An action that is always enabled, with its text and its key as tooltip.
RowAction action(RowAction::Kind kind, const QString& label, const char* objectName, const char* iconName,
                 const char* iconFallback) {
    const QList<QKeySequence> keys = RowActions::keys(kind);
    return {kind, label, objectName, iconName, iconFallback, true, toolTipWithKey(label, keys.value(0)), keys};
}

RowAction open(const CompressionItem& item) {
    if (item.isVideo())
        return action(RowAction::Kind::open, ui("播放"), "rowOpen", "media-playback-start", "play.svg");
    if (item.isPDF()) return action(RowAction::Kind::open, ui("预览"), "rowOpen", "document-preview", "eye.svg");
    return action(RowAction::Kind::open, ui("对比"), "rowOpen", "", "compare.svg");
}

RowAction reveal() {
    return action(RowAction::Kind::reveal, ui("在文件管理器中显示"), "rowReveal", "folder-open", "folder.svg");
}

RowAction recompress(const CompressionItem& item) {
    RowAction entry = action(RowAction::Kind::recompress, ui("重新压缩"), "rowRecompress", "view-refresh",
                             "refresh.svg");
    if (!item.canRecompress()) {
        entry.enabled = false;
        entry.toolTip = ui("原图已在回收站，无法重新压缩");
    }
    return entry;
}

// A text as a single-quoted GVariant string.
QString gvariantString(const QString& text) {
    QString quoted = text;
    quoted.replace('\\', "\\\\").replace('\'', "\\'");
    return '\'' + quoted + '\'';
}

// Asks the file manager to show the file selected; opens its folder when no file manager answers
// (no D-Bus client, no session bus, nobody owning the name, or an error reply).
void revealInFileManager(const QUrl& file, QObject* owner) {
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath());
    auto* call = new QProcess(owner);
    call->setProgram(QStringLiteral("gdbus"));
    call->setArguments({"call", "--session", "--timeout", "5", "--dest", "org.freedesktop.FileManager1",
                        "--object-path", "/org/freedesktop/FileManager1", "--method",
                        "org.freedesktop.FileManager1.ShowItems",
                        '[' + gvariantString(QString::fromUtf8(file.toEncoded())) + ']', "''"});
    call->setStandardOutputFile(QProcess::nullDevice());
    call->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(call, &QProcess::finished, call, [call, folder](int code, QProcess::ExitStatus status) {
        if (status != QProcess::NormalExit || code != 0) QDesktopServices::openUrl(folder);
        call->deleteLater();
    });
    QObject::connect(call, &QProcess::errorOccurred, call, [call, folder](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;  // the others end in finished()
        QDesktopServices::openUrl(folder);
        call->deleteLater();
    });
    call->start();
}

}  // namespace

QString toolTipWithKey(const QString& text, const QKeySequence& key) {
    return key.isEmpty() ? text : ui("%1（%2）").arg(text, key.toString(QKeySequence::NativeText));
}

DesktopServices DesktopServices::system(QObject* owner) {
    return {
        [](const QUrl& url) { QDesktopServices::openUrl(url); },
        [owner](const QUrl& url) { revealInFileManager(url, owner); },
        [](std::unique_ptr<QMimeData> data) { QGuiApplication::clipboard()->setMimeData(data.release()); },
    };
}

namespace RowActions {

bool opens(const CompressionItem& item) { return output(item) != nullptr; }

std::vector<RowAction> hoverButtons(const CompressionItem& item) {
    if (!opens(item)) return {};
    return {open(item), reveal(), recompress(item)};
}

std::vector<RowAction> menuEntries(const CompressionItem& item, std::size_t* separatorBefore) {
    std::vector<RowAction> entries;
    if (opens(item)) {
        entries = {open(item), reveal(),
                   action(RowAction::Kind::copy, ui("复制压缩后文件"), "rowCopy", "edit-copy", "")};
    }
    if (separatorBefore) *separatorBefore = entries.size();
    entries.push_back(recompress(item));
    entries.push_back(action(RowAction::Kind::remove, ui("从列表移除"), "rowRemove", "list-remove", ""));
    return entries;
}

std::vector<QRect> hoverButtonRects(const QRect& row, std::size_t count) {
    const int width = int(count) * (buttonSide + buttonGap) - buttonGap;
    const int left = row.right() - ResultRowDelegate::margin - ResultRowDelegate::trailingWidth - buttonGap - width + 1;
    const int top = row.center().y() - buttonSide / 2;
    std::vector<QRect> rects;
    for (std::size_t i = 0; i < count; ++i)
        rects.emplace_back(left + int(i) * (buttonSide + buttonGap), top, buttonSide, buttonSide);
    return rects;
}

std::optional<std::pair<RowAction, QRect>> hoverButtonAt(const CompressionItem& item, const QRect& row,
                                                         const QPoint& point) {
    const std::vector<RowAction> buttons = hoverButtons(item);
    const std::vector<QRect> rects = hoverButtonRects(row, buttons.size());
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (rects[i].contains(point)) return std::pair{buttons[i], rects[i]};
    }
    return std::nullopt;
}

QIcon icon(const RowAction& action) {
    return themeIcon(action.iconName, action.iconFallback);
}

QList<QKeySequence> keys(RowAction::Kind kind) {
    switch (kind) {
    case RowAction::Kind::open: return {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)};
    case RowAction::Kind::copy: return QKeySequence::keyBindings(QKeySequence::Copy);  // Ctrl+C, Ctrl+Insert
    case RowAction::Kind::remove: return {QKeySequence(Qt::Key_Delete)};
    case RowAction::Kind::reveal:
    case RowAction::Kind::recompress: break;
    }
    return {};
}

std::optional<RowAction::Kind> actionOfKey(QKeyCombination key) {
    const QKeySequence pressed(QKeyCombination(key.keyboardModifiers() & ~Qt::KeypadModifier, key.key()));
    for (const RowAction::Kind kind : {RowAction::Kind::open, RowAction::Kind::copy, RowAction::Kind::remove}) {
        if (keys(kind).contains(pressed)) return kind;
    }
    return std::nullopt;
}

std::unique_ptr<QMimeData> copiedFiles(const std::vector<std::filesystem::path>& files) {
    QList<QUrl> urls;
    QByteArray gnome = "copy";
    QStringList paths;
    for (const std::filesystem::path& file : files) {
        paths << QString::fromStdString(file.string());
        urls << QUrl::fromLocalFile(paths.back());
        gnome += '\n' + urls.back().toEncoded();
    }
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    data->setData(QStringLiteral("x-special/gnome-copied-files"), gnome);
    data->setText(paths.join('\n'));
    return data;
}

}  // namespace RowActions

}  // namespace dorvex::app
