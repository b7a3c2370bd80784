// The row's actions: the context menu's entries, enabled states and tooltips for each kind and
// state of item, the hover buttons and double-click (finished rows with an output only), the
// list's keys acting on the selection, which desktop service each action uses, and the files as
// the clipboard carries them.

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QSignalSpy>

#include <fstream>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"
#include "views/ResultList.h"
#include "views/ThumbnailCache.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

namespace {

CompressionItem::State succeeded(const fs::path& output) {
    CompressionResult result;
    result.status = CompressionResult::Success{};
    result.output = output;
    result.sourceBytes = 1000;
    result.outputBytes = 400;
    return CompressionItem::Finished{result};
}

CompressionItem::State failed() {
    CompressionResult::Failed failure;
    failure.message = "无法读取这个文件";
    CompressionResult result;
    result.status = failure;
    return CompressionItem::Finished{result};
}

}  // namespace

class ViewsRowActionsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<ThumbnailCache> thumbnails;
    std::unique_ptr<ResultList> list;
    fs::path media;
    QStringList calls;  // "open URL", "reveal URL", "copy"
    std::unique_ptr<QMimeData> copied;

    // Adds a file of that name (unreadable, so its job fails at once), waits for it, and gives it
    // `state`; returns its row.
    QModelIndex row(const std::string& name, const CompressionItem::State& state, bool overwrite = false) {
        std::ofstream(media / name) << "not media";
        model->add(std::vector{media / name});
        CompressionItem* item = model->items().front();
        if (!QTest::qWaitFor([&] { return item->result() != nullptr; })) return {};
        CompressionOptions options = item->options();
        if (overwrite) options.saveLocation = SaveLocation::overwrite();
        item->setOptions(options);
        item->setState(state);
        return model->itemList()->index(0);
    }

private slots:
    void init() {
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        presets = std::make_unique<ObservablePresetStore>(AppPaths::presetsFile(), *settings);
        model = std::make_unique<AppModel>(*presets, Toolchain::locate(), 4);
        thumbnails = std::make_unique<ThumbnailCache>(80);
        calls.clear();
        copied.reset();
        DesktopServices services{
            [this](const QUrl& url) { calls << "open " + url.toString(); },
            [this](const QUrl& url) { calls << "reveal " + url.toString(); },
            [this](std::unique_ptr<QMimeData> data) {
                calls << "copy";
                copied = std::move(data);
            },
        };
        list = std::make_unique<ResultList>(*model, *thumbnails, services);
        list->resize(600, 400);
        media = AppPaths::homeFolder() / "actions";
        fs::create_directories(media);
    }
    void cleanup() {
        list.reset();
        model.reset();
        presets.reset();
        settings.reset();
    }

    void menuEntriesFollowTheItem() {
        const fs::path out = media / "out";
        struct Case {
            const char* name;
            std::string file;
            CompressionItem::State state;
            bool overwrite;
            QStringList entries;  // text, "|" for the divider
            bool canRecompress;
            QString recompressTip;
        };
        const QStringList full = {"", "在文件管理器中显示", "复制压缩后文件", "|", "重新压缩", "从列表移除"};
        const auto with = [&](const QString& open) { QStringList e = full; e[0] = open; return e; };
        const Case cases[] = {
            {"image", "a.png", succeeded(out), false, with("对比"), true, "重新压缩"},
            {"video", "b.mp4", succeeded(out), false, with("播放"), true, "重新压缩"},
            {"pdf", "c.pdf", succeeded(out), false, with("预览"), true, "重新压缩"},
            {"overwritten", "d.png", succeeded(media / "d.png"), true, with("对比"), false, "原图已在回收站，无法重新压缩"},
            {"failed in overwrite mode", "e.png", failed(), true, {"重新压缩", "从列表移除"}, true, "重新压缩"},
            {"queued", "f.png", CompressionItem::Queued{}, false, {"重新压缩", "从列表移除"}, true, "重新压缩"},
        };
        for (const Case& c : cases) {
            const QModelIndex index = row(c.file, c.state, c.overwrite);
            QVERIFY2(index.isValid(), c.name);
            const std::unique_ptr<QMenu> menu = list->contextMenu(index);
            QVERIFY(menu && menu->toolTipsVisible());
            QStringList entries;
            for (QAction* action : menu->actions()) entries << (action->isSeparator() ? "|" : action->text());
            QCOMPARE(entries, c.entries);
            const auto* recompress = menu->findChild<QAction*>("rowRecompress");
            QCOMPARE(recompress->isEnabled(), c.canRecompress);
            QCOMPARE(recompress->toolTip(), c.recompressTip);
            QVERIFY(menu->findChild<QAction*>("rowRemove")->isEnabled());
        }
    }

    void actionsUseTheirService() {
        const fs::path out = media / "b-min.mp4";
        const QString url = QUrl::fromLocalFile(QString::fromStdString(out.string())).toString();
        struct Case {
            const char* action;
            QStringList calls;
        };
        const Case cases[] = {
            {"rowOpen", {"open " + url}},
            {"rowReveal", {"reveal " + url}},
            {"rowCopy", {"copy"}},
        };
        const QModelIndex index = row("b.mp4", succeeded(out));
        for (const Case& c : cases) {
            calls.clear();
            list->contextMenu(index)->findChild<QAction*>(c.action)->trigger();
            QCOMPARE(calls, c.calls);
        }
        QCOMPARE(copied->urls(), QList{QUrl(url)});
        QCOMPARE(copied->data("text/uri-list").trimmed(), url.toUtf8());
        QCOMPARE(copied->data("x-special/gnome-copied-files"), "copy\n" + url.toUtf8());
    }

    // What a file manager reads back: several files, with names a URL has to escape.
    void clipboardCarriesTheFiles() {
        const std::unique_ptr<QMimeData> data = RowActions::copiedFiles({"/tmp/a b.png", "/tmp/照片#1.jpg"});
        QCOMPARE(data->urls(), QList<QUrl>({QUrl("file:///tmp/a%20b.png"), QUrl::fromLocalFile("/tmp/照片#1.jpg")}));
        QCOMPARE(data->data("text/uri-list"), "file:///tmp/a%20b.png\r\nfile:///tmp/%E7%85%A7%E7%89%87%231.jpg\r\n");
        QCOMPARE(data->data("x-special/gnome-copied-files"),
                 "copy\nfile:///tmp/a%20b.png\nfile:///tmp/%E7%85%A7%E7%89%87%231.jpg");
        QCOMPARE(data->text(), QStringLiteral("/tmp/a b.png\n/tmp/照片#1.jpg"));
    }

    // Each key acts on the selected rows (newest first: c, b, a; b failed, so without output) as
    // the row menu, which shows the keys, does on its row; the row's name never reaches the clipboard.
    void keysActOnTheSelection() {
        const struct {
            QKeyCombination key;
            QList<int> selected;
            QString effect;  // the compared item, the copied outputs, the rows left and the current one
        } cases[] = {
            {Qt::Key_Return, {2}, "compare a.png"},
            {Qt::KeypadModifier | Qt::Key_Enter, {0}, "compare c.png"},
            {Qt::CTRL | Qt::Key_C, {2, 1, 0}, "copy c-min.png a-min.png"},
            {Qt::CTRL | Qt::Key_C, {1}, ""},
            {Qt::Key_Delete, {0, 1}, "left a.png current a.png"},
            {Qt::Key_Delete, {2}, "left c.png b.png current b.png"},
        };
        list->show();
        list->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(list.get()));
        const auto name = [](const CompressionItem* item) { return QString::fromStdString(item->source().filename()); };
        for (const auto& c : cases) {
            model->clear();
            for (const char* file : {"a.png", "b.png", "c.png"})
                row(file, file[0] == 'b' ? failed() : succeeded(media / (file[0] + std::string("-min.png"))));
            for (const int selected : c.selected)
                list->selectionModel()->setCurrentIndex(model->itemList()->index(selected), QItemSelectionModel::Select);
            QGuiApplication::clipboard()->setText("before");
            copied.reset();
            QTest::keyClick(list.get(), c.key.key(), c.key.keyboardModifiers());
            QStringList effect;
            for (const CompressionItem* item : model->items())
                if (model->compareItemID() == item->id()) effect << "compare" << name(item);
            if (copied) effect << "copy";
            for (const QUrl& url : copied ? copied->urls() : QList<QUrl>{}) effect << url.fileName();
            if (model->items().size() < 3) {
                effect << "left";
                for (const CompressionItem* item : model->items()) effect << name(item);
                effect << "current" << name(model->items()[list->currentIndex().row()]);
            }
            QCOMPARE(effect.join(' '), c.effect);
            QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
        }
        const std::unique_ptr<QMenu> menu = list->contextMenu(model->itemList()->index(0));
        QStringList keys;
        for (const char* action : {"rowOpen", "rowCopy", "rowRemove"})
            keys << menu->findChild<QAction*>(action)->shortcut().toString();
        QCOMPARE(keys, QStringList({"Return", "Ctrl+C", "Del"}));
    }

    // The menu of a selected row copies and removes the whole selection; that of another row, the row.
    void menuActsOnTheSelectionItBelongsTo() {
        for (const char* file : {"a.png", "b.png", "c.png"}) row(file, succeeded(media / file));
        list->selectionModel()->select(model->itemList()->index(0), QItemSelectionModel::Select);
        list->selectionModel()->select(model->itemList()->index(2), QItemSelectionModel::Select);
        list->contextMenu(model->itemList()->index(2))->findChild<QAction*>("rowCopy")->trigger();
        QCOMPARE(copied->urls().size(), 2);
        list->contextMenu(model->itemList()->index(1))->findChild<QAction*>("rowRemove")->trigger();
        list->contextMenu(model->itemList()->index(0))->findChild<QAction*>("rowRemove")->trigger();
        QCOMPARE(model->itemList()->rowCount(), 0);
    }

    // Double-click opens; the hover buttons act on their row, a disabled one not at all.
    void pointerActsOnTheRow() {
        const QModelIndex index = row("d.png", succeeded(media / "d.png"), true);
        QSignalSpy compare(list.get(), &ResultList::compareRequested);
        list->show();
        QVERIFY(QTest::qWaitForWindowExposed(list.get()));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).topLeft() + QPoint(60, 10));
        QCOMPARE(model->compareItemID(), std::optional(model->items().front()->id()));
        QCOMPARE(compare.size(), 1);
        const std::vector<QRect> buttons = RowActions::hoverButtonRects(list->visualRect(index), 3);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, buttons[1].center());
        QCOMPARE(calls, QStringList{"reveal " + QUrl::fromLocalFile(QString::fromStdString((media / "d.png").string())).toString()});
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, buttons[2].center());
        QVERIFY(model->items().front()->result());  // not re-queued
    }

    // Only a row that finished with an output file opens: double-clicking any other does nothing.
    void doubleClickOpensOnlyFinishedOutputs() {
        CompressionResult skipped;
        skipped.status = CompressionResult::Skipped{SkipReason::noSavings};
        const struct {
            const char* name;
            CompressionItem::State state;
        } cases[] = {{"queued", CompressionItem::Queued{}},
                     {"running", CompressionItem::Running{}},
                     {"failed", failed()},
                     {"skipped", CompressionItem::Finished{skipped}}};
        list->show();
        QVERIFY(QTest::qWaitForWindowExposed(list.get()));
        QSignalSpy compare(list.get(), &ResultList::compareRequested);
        for (const auto& c : cases) {
            const QModelIndex index = row(std::string(c.name) + ".png", c.state);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).topLeft() + QPoint(60, 10));
            QVERIFY2(!model->compareItemID() && compare.isEmpty(), c.name);
        }
    }

    void recompressAndRemoveReachTheModel() {
        const QModelIndex first = row("a.png", succeeded(media / "a-min.png"));
        QVERIFY(first.isValid());
        list->contextMenu(first)->findChild<QAction*>("rowRecompress")->trigger();
        QVERIFY(!model->items().front()->result());
        list->contextMenu(model->itemList()->index(0))->findChild<QAction*>("rowRemove")->trigger();
        QCOMPARE(model->itemList()->rowCount(), 0);
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ViewsRowActionsTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewsRowActionsTest.moc"
