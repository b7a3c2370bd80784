// The compare window: what it shows for each kind of item, the information bar, double-click
// between fit and 100 %, a drag panning the picture or moving the split from its divider, the
// window's keys and its zoom readout, a real comparison of a compressed PNG, and the window
// following its item when it is compressed again.

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "dorvex/text/Format.h"
#include "model/AppModel.h"
#include "model/CompressionItem.h"
#include "views/CompareInfoBar.h"
#include "views/CompareSplitView.h"
#include "views/CompareWindow.h"
#include "views/CompareZoom.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

class ViewsCompareWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;

    fs::path media() const { return AppPaths::homeFolder() / "compare"; }

    // Lists a new PNG of that name on a model without encoders; the item once its job has ended.
    CompressionItem* listed(AppModel& model, const char* name) const {
        model.add(std::vector{testing::writePng(media() / name)});
        CompressionItem* item = model.items().front();
        return QTest::qWaitFor([&] { return item->result() != nullptr; }, 60000) ? item : nullptr;
    }

private slots:
    void initTestCase() {
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        presets = std::make_unique<ObservablePresetStore>(AppPaths::presetsFile(), *settings);
    }

    void stateOfEachItem() {
        const fs::path source = testing::writePng(media() / "a.png");
        CompressionResult done;
        done.status = CompressionResult::Success{};
        done.output = media() / "a-min.png";
        struct Case {
            const char* name;
            std::optional<CompressionResult> result;
            fs::path source;
            CompareState expected;
        };
        CompressionResult noOutput = done;
        noOutput.output.reset();
        CompressionResult overwrite = done;
        overwrite.output = source;
        const Case cases[] = {
            {"not finished", std::nullopt, source, CompareState::nothingToCompare},
            {"no output", noOutput, source, CompareState::nothingToCompare},
            {"overwrote its source", overwrite, source, CompareState::sourceGone},
            {"source gone", done, media() / "gone.png", CompareState::sourceGone},
            {"comparable", done, source, CompareState::pane},
        };
        QCOMPARE(compareState(nullptr), CompareState::nothingToCompare);
        for (const Case& c : cases) {
            CompressionItem item(c.source, CompressionOptions{});
            if (c.result) item.setState(CompressionItem::Finished{*c.result});
            QVERIFY2(compareState(&item) == c.expected, c.name);
        }
    }

    void informationBar() {
        CompressionResult r;
        r.sourceBytes = 1000;
        r.outputBytes = 1100;
        r.sourcePixelSize = r.pixelSize = {400, 300};
        r.encodeCount = 7;
        r.maxSizeMet = false;
        r.stopReason = SearchStopReason::unreachable;
        QCOMPARE(compareInfo(r), QStringList({"尺寸 400×300", "增大 10%", "体积上限 ✗ 未达标", "尝试 7 次 · 压到最小仍超限"}));
        r.maxSizeMet = true;
        r.stopReason = SearchStopReason::converged;
        QCOMPARE(compareInfo(r).mid(2), QStringList({"体积上限 ✓ 达标", "尝试 7 次"}));
    }

    // The score shows at the bar's right end for a result that has one, on a line of its own when
    // the bar is narrow, and goes with the next result that has none.
    void informationBarScore() {
        CompressionResult r;
        r.sourcePixelSize = r.pixelSize = {4000, 3000};
        r.encodeCount = 7;
        r.maxSizeMet = false;
        r.stopReason = SearchStopReason::encodeBudgetExhausted;
        r.perceptual = PerceptualScore{0.84, 0.31};
        CompareInfoBar bar;
        bar.setResult(r);
        bar.show();
        auto* facts = bar.findChild<QLabel*>("compareFacts");
        auto* score = bar.findChild<QLabel*>("compareScore");
        QCOMPARE(score->text(), QStringLiteral("感知差异 0.8 · 难以察觉"));
        QVERIFY(score->isVisible());
        QCOMPARE(score->palette().color(QPalette::WindowText), *gradeColor(PerceptualScore::Grade::imperceptible));
        // Wide: one line, the score to the right of the facts. Narrow: two lines, both whole.
        bar.resize(bar.sizeHint());
        QCOMPARE(bar.heightForWidth(bar.width()), bar.sizeHint().height());
        QVERIFY(score->geometry().left() > facts->geometry().right());
        const int narrow = bar.minimumSizeHint().width();
        QVERIFY(narrow < bar.sizeHint().width());
        bar.resize(narrow, bar.heightForWidth(narrow));
        QVERIFY(bar.heightForWidth(narrow) > bar.sizeHint().height());
        QVERIFY(score->geometry().top() > facts->geometry().bottom());
        QVERIFY(bar.rect().contains(score->geometry()) && score->width() >= score->sizeHint().width());
        QVERIFY(facts->width() >= facts->sizeHint().width());
        r.perceptual.reset();
        bar.setResult(r);
        QVERIFY(!score->isVisible());
        QCOMPARE(bar.heightForWidth(narrow), bar.sizeHint().height());
    }

    void emptyWithoutAComparedItem() {
        AppModel model(*presets, Toolchain{}, 2);
        CompareWindow window(model);
        QCOMPARE(window.size(), QSize(960, 720));
        QCOMPARE(window.windowTitle(), QStringLiteral("对比"));
        QCOMPARE(window.findChild<QLabel*>("compareEmptyTitle")->text(), QStringLiteral("没有可对比的图片"));
        QCOMPARE(window.findChild<QLabel*>("compareEmptyDescription")->text(), QStringLiteral("在主窗口双击一张已完成的图片"));
    }

    void doubleClickTwiceReturnsToFit() {
        CompareSplitView view;
        view.resize(400, 300);
        view.show();
        view.setImageSize({4000, 3000});
        const double fit = view.zoom();
        QVERIFY(fit < 0.11);
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(200, 150));
        QCOMPARE(view.zoomToFit(), false);
        QCOMPARE(view.zoom(), 1.0 / view.devicePixelRatioOfScreen().value_or(2.0));
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(200, 150));
        QVERIFY(view.zoomToFit());
        QCOMPARE(view.zoom(), fit);
    }

    // A drag moves the split only from the divider (its line or its handle) or with Shift held;
    // elsewhere it pans a picture larger than the window, and does nothing to one that fits.
    void dragPansOrMovesTheSplit() {
        const struct {
            bool zoomedIn;
            Qt::KeyboardModifiers modifiers;
            QPoint from, by;  // from the handle's centre
            int dividerMoved;
            QPoint scrolled;
        } cases[] = {
            {false, {}, {0, 0}, {100, 0}, 100, {}},              // the handle
            {true, {}, {8, 8}, {-100, -98}, -100, {}},           // the handle, held off its centre
            {true, {}, {3, -120}, {100, 0}, 100, {}},            // the line, far from the handle
            {true, Qt::ShiftModifier, {-100, 0}, {200, 0}, 100, {}},
            {true, {}, {-100, -50}, {-40, -30}, 0, {40, 30}},    // the picture pans
            {false, {}, {-100, -50}, {-40, -30}, 0, {}},         // a fitted one stays
        };
        for (const auto& c : cases) {
            CompareSplitView view;
            view.resize(400, 300);
            view.show();
            view.setImageSize({4000, 3000});
            if (c.zoomedIn) view.setZoom(0.5);
            const double width = view.viewport()->width();
            const QPoint handle = QPointF(width / 2, view.viewport()->height() / 2.0).toPoint();
            const auto scroll = [&] { return QPoint(view.horizontalScrollBar()->value(), view.verticalScrollBar()->value()); };
            const QPoint before = scroll();
            QTest::mousePress(view.viewport(), Qt::LeftButton, c.modifiers, handle + c.from);
            QTest::mouseMove(view.viewport(), handle + c.from + c.by);
            QTest::mouseRelease(view.viewport(), Qt::LeftButton, c.modifiers, handle + c.from + c.by);
            QVERIFY(std::abs(view.split() - (0.5 + c.dividerMoved / width)) < 1 / width);
            QCOMPARE(scroll() - before, c.scrolled);
        }
    }

    // The window's keys from 100 % (from fit for those to 100 %) and the readout that follows;
    // Escape and Ctrl+W close the window.
    void keysZoomAndClose() {
        AppModel model(*presets, Toolchain{}, 2);
        CompareWindow window(model);
        CompressionItem* item = listed(model, "keys.png");
        QVERIFY(item);
        CompressionResult result;
        result.status = CompressionResult::Success{};
        result.output = testing::writePng(media() / "keys-min.png");
        result.sourcePixelSize = result.pixelSize = {4000, 3000};
        item->setState(CompressionItem::Finished{result});
        model.setCompareItemID(item->id());
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        CompareSplitView* view = window.splitView();
        const QString fit = CompareZoom::percentText(view->fitScale(), view->devicePixelRatioOfScreen());
        const std::pair<QKeyCombination, QString> cases[] = {
            {Qt::CTRL | Qt::Key_0, fit}, {Qt::Key_0, fit}, {Qt::CTRL | Qt::Key_1, "100 %"}, {Qt::Key_1, "100 %"},
            {Qt::CTRL | Qt::Key_Equal, "125 %"}, {Qt::CTRL | Qt::Key_Plus, "125 %"}, {Qt::Key_Plus, "125 %"},
            {Qt::Key_Equal, "125 %"}, {Qt::CTRL | Qt::Key_Minus, "80 %"}, {Qt::Key_Minus, "80 %"},
        };
        for (const auto& [key, readout] : cases) {
            key.key() == Qt::Key_1 ? view->setZoomToFit() : view->setZoomToActualSize();
            QTest::keyClick(view, key.key(), key.keyboardModifiers());
            QCOMPARE(window.findChild<QLabel*>("compareZoomLevel")->text(), readout);
        }
        for (const QKeyCombination key : {QKeyCombination(Qt::Key_Escape), Qt::CTRL | Qt::Key_W}) {
            window.show();
            window.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&window));
            QTest::keyClick(view, key.key(), key.keyboardModifiers());
            QVERIFY(!window.isVisible());
        }
    }

    void comparesACompressedPicture() {
        const Toolchain tools = Toolchain::locate();
        if (!tools.pngquant) QSKIP("pngquant is not installed");
        presets->select(PresetLibrary::defaultID);
        AppModel model(*presets, tools, 2);
        CompareWindow window(model);
        model.add(std::vector{testing::writePng(media() / "photo.png")});
        CompressionItem* item = model.items().front();
        QTRY_VERIFY_WITH_TIMEOUT(item->result() != nullptr, 60000);
        QVERIFY2(item->result()->output, Format::statusLine(*item->result()).c_str());
        model.setCompareItemID(item->id());
        QCOMPARE(window.windowTitle(), QStringLiteral("photo.png"));
        QVERIFY(window.findChild<QLabel*>("compareFacts")->text().startsWith("尺寸 96×96"));
        QVERIFY(item->result()->perceptual);
        QCOMPARE(window.findChild<QLabel*>("compareScore")->text(),
                 QString::fromStdString(Format::perceptual(*item->result()->perceptual)));
        QTRY_VERIFY_WITH_TIMEOUT(window.splitView()->hasPictures(), 10000);
        auto* zoomIn = window.findChild<QAction*>("compareZoomIn");
        QCOMPARE(zoomIn->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Equal));
        const double before = window.splitView()->zoom();
        zoomIn->trigger();
        QCOMPARE(window.splitView()->zoom(), before * 1.25);
        fs::remove(item->source());
        model.setCompareItemID(std::nullopt);
        model.setCompareItemID(item->id());
        QCOMPARE(window.findChild<QLabel*>("compareEmptyTitle")->text(), QStringLiteral("原图已移入回收站"));
    }

    // The compared item finishing again into the same file (new pixels, new sizes) is shown anew;
    // split and scale stay, as the comparison is the same.
    void followsTheItemRecompressedInPlace() {
        AppModel model(*presets, Toolchain{}, 2);
        CompareWindow window(model);
        CompressionItem* item = listed(model, "again.png");
        QVERIFY(item);
        const fs::path output = media() / "again-min.png";
        const auto finish = [&](Qt::GlobalColor colour, std::int64_t bytes) {
            QImage picture(96, 96, QImage::Format_RGB32);
            picture.fill(colour);
            QVERIFY(picture.save(QString::fromStdString(output.string())));
            // Same size on disk: only the modification time tells the two files apart.
            fs::last_write_time(output, fs::file_time_type::clock::now() + std::chrono::seconds(bytes));
            CompressionResult result;
            result.status = CompressionResult::Success{};
            result.output = output;
            result.sourceBytes = 1000;
            result.outputBytes = bytes;
            item->setState(CompressionItem::Finished{result});
        };
        finish(Qt::red, 400);
        model.setCompareItemID(item->id());
        QTRY_COMPARE(window.splitView()->outputPicture().pixelColor(5, 5), QColor(Qt::red));
        window.splitView()->setSplit(0.25);
        finish(Qt::blue, 800);
        QTRY_COMPARE(window.splitView()->outputPicture().pixelColor(5, 5), QColor(Qt::blue));
        QVERIFY(window.findChild<QLabel*>("compareFacts")->text().contains(QString::fromStdString(Format::savings(0.2))));
        QCOMPARE(window.splitView()->split(), 0.25);
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ViewsCompareWindowTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewsCompareWindowTest.moc"
