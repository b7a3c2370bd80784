// The option popovers through their controls and the preset store: what each control writes, how
// stored options are shown (without being written back), the save-location modes with a folder
// chooser standing in for the dialog, the naming check, and the chip opening and closing.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSlider>

#include "AppTestSupport.h"
#include "dorvex/library/SettingsStore.h"
#include "dorvex/platform/AppPaths.h"
#include "model/ObservablePresetStore.h"
#include "views/options/FormatPopover.h"
#include "views/options/LevelPopover.h"
#include "views/options/MaxSizePopover.h"
#include "views/options/ParameterChip.h"
#include "views/options/Popover.h"
#include "views/options/SaveLocationPopover.h"
#include "views/options/SizeLimitEditor.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

class ViewsOptionPopoversTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;

    const CompressionOptions& options() const { return presets->options(); }
    void setOptions(const std::function<void(CompressionOptions&)>& change) {
        CompressionOptions changed = options();
        change(changed);
        presets->setOptions(changed);
    }
    template <typename T>
    static T* child(const QObject* parent, const char* name) {
        T* found = parent->findChild<T*>(QString::fromLatin1(name));
        if (found == nullptr) qFatal("no child %s", name);
        return found;
    }

private slots:
    void initTestCase() {
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        presets = std::make_unique<ObservablePresetStore>(AppPaths::presetsFile(), *settings);
    }
    void init() { presets->setOptions(CompressionOptions{}); }

    void levelSliderRunsAgainstTheLevel() {
        setOptions([](CompressionOptions& o) { o.level = 3.4; });
        LevelPopover popover(*presets);
        auto* slider = child<QSlider>(&popover, "levelSlider");
        QCOMPARE(slider->value(), 4);
        QCOMPARE(options().level, 3.4);  // shown, not written back
        slider->setValue(6);
        QCOMPARE(options().level, 1.0);
        setOptions([](CompressionOptions& o) { o.level = 6; });
        QCOMPARE(slider->value(), 1);
        QCOMPARE(child<QLabel>(&popover, "levelCaption")->text(), QStringLiteral("最小 · 体积优先，适合预览图"));
    }

    void formatSwitchesFollowTheFormat() {
        FormatPopover popover(*presets);
        auto* lossless = child<QAbstractButton>(&popover, "jxlLosslessSwitch");
        auto* tiff = child<QWidget>(&popover, "tiffCompressionPicker");
        QVERIFY(!lossless->isVisibleTo(&popover) && tiff->isVisibleTo(&popover));
        child<QAbstractButton>(&popover, "formatChoice-jxl")->click();
        QCOMPARE(options().format, OutputFormat::jxl);
        QVERIFY(lossless->isVisibleTo(&popover) && !tiff->isVisibleTo(&popover));
        lossless->click();
        QVERIFY(options().jxlLossless);
        child<QAbstractButton>(&popover, "formatChoice-original")->click();
        QCOMPARE(options().format, std::nullopt);
        // Choosing a format never moves the choices under the pointer: the popover keeps its size.
        const int height = popover.sizeHint().height();
        for (const char* format : {"formatChoice-jxl", "formatChoice-jpeg", "formatChoice-original"}) {
            child<QAbstractButton>(&popover, format)->click();
            QVERIFY2(popover.sizeHint().height() == height, format);
        }
    }

    void imageLimitEditsTheByteCount() {
        MaxSizePopover popover(*presets);
        auto* editor = child<QWidget>(&popover, "imageLimitEditor");
        auto* limitSwitch = child<QAbstractButton>(editor, "limitSwitch");
        auto* value = child<QDoubleSpinBox>(editor, "limitValue");
        auto* unit = child<QComboBox>(editor, "limitUnit");
        auto* keepDimensions = child<QAbstractButton>(&popover, "keepDimensionsSwitch");
        QVERIFY(!keepDimensions->isEnabled() && !value->isEnabled());
        limitSwitch->click();
        QCOMPARE(options().maxBytes, 200'000);
        QVERIFY(keepDimensions->isEnabled() && value->isEnabled());
        // What the field shows once the edit ends, and the limit: only amounts the field can show
        // are taken, and it never reads less than the limit in force.
        struct Case {
            const char* typed;
            int unit;
            const char* shown;
            std::int64_t bytes;
        };
        const Case cases[] = {
            {"2.345", 1, "2.35", 2'345'000},     // kept to the kilobyte, shown with two decimals
            {"-.", 1, "2.35", 2'345'000},        // no sign; a lone point gives way to the amount before
            {"0", 0, "1", 1'000},                // below 1 KB: the smallest limit, shown as such
            {"0.5", 0, "1", 1'000},
            {"1.2345", 0, "1.23", 1'234},        // a fourth decimal is not taken
            {"0.004", 1, "0.01", 10'000},        // 0.004 MB would read 0
            {"20000", 1, "2000", 2'000'000'000}, // the last digit would pass the largest limit
            {"10000", 1, "10000", 10'000'000'000},
        };
        for (const Case& c : cases) {
            unit->setCurrentIndex(c.unit);
            value->selectAll();
            QTest::keyClicks(value, QString::fromLatin1(c.typed));
            QTest::keyClick(value, Qt::Key_Return);
            QVERIFY2(value->text() == QLatin1String(c.shown), c.typed);
            QVERIFY2(options().maxBytes == c.bytes, c.typed);
        }
        unit->setCurrentIndex(1);
        value->selectAll();
        QTest::keyClicks(value, QStringLiteral("0.5"));
        unit->setCurrentIndex(0);  // 0.5 MB to KB: 0.5 KB is less than the field can show
        QCOMPARE(value->text(), QStringLiteral("1"));
        QCOMPARE(options().maxBytes, 1'000);
        limitSwitch->click();
        QCOMPARE(options().maxBytes, std::nullopt);
        QVERIFY(!keepDimensions->isEnabled());
    }

    void storedLimitsOpenInTheirUnit() {
        struct Case {
            std::int64_t stored;
            double value;
            QString unit;
        };
        for (const Case& c : {Case{999'999, 999.999, "KB"}, Case{1'000'000, 1, "MB"}, Case{25'500'000, 25.5, "MB"}}) {
            setOptions([&](CompressionOptions& o) { o.videoMaxBytes = c.stored; });
            MaxSizePopover popover(*presets);
            auto* editor = child<QWidget>(&popover, "videoLimitEditor");
            QCOMPARE(child<QDoubleSpinBox>(editor, "limitValue")->value(), c.value);
            QCOMPARE(child<QComboBox>(editor, "limitUnit")->currentText(), c.unit);
            QCOMPARE(options().videoMaxBytes, c.stored);
        }
        QCOMPARE(SizeLimitEditor::byteCount({std::numeric_limits<double>::infinity(), SizeLimitEditor::Unit::mb}), 1'000);
    }

    void saveModesAndTheFolderChooser() {
        settings->removeValue(SettingsKeys::lastOutputFolder);
        std::optional<fs::path> answer;
        int asked = 0;
        SaveLocationPopover popover(*presets, *settings, [&](QWidget*) {
            ++asked;
            return answer;
        });
        auto* mode = child<QComboBox>(&popover, "saveModePicker");
        const SaveLocation before = options().saveLocation;
        mode->setCurrentIndex(1);  // folder, none remembered, chooser cancelled
        QCOMPARE(asked, 1);
        QVERIFY(options().saveLocation == before);
        QCOMPARE(mode->currentIndex(), 0);

        answer = "/srv/out";
        setOptions([](CompressionOptions& o) { o.saveLocation = SaveLocation::sourceFolder("-web"); });
        mode->setCurrentIndex(1);
        QVERIFY(options().saveLocation == SaveLocation::folder("/srv/out", "-web"));
        QCOMPARE(settings->stringValue(SettingsKeys::lastOutputFolder), "/srv/out");
        QVERIFY(child<QWidget>(&popover, "chooseFolderButton")->isVisibleTo(&popover));

        mode->setCurrentIndex(2);
        QVERIFY(options().saveLocation == SaveLocation::overwrite());
        QVERIFY(child<QWidget>(&popover, "overwriteNote")->isVisibleTo(&popover));
        QVERIFY(!child<QWidget>(&popover, "filenameSuffixField")->isVisibleTo(&popover));
        mode->setCurrentIndex(0);
        QVERIFY(options().saveLocation == SaveLocation::sourceFolder("-min"));
        mode->setCurrentIndex(1);  // the remembered folder, without asking
        QCOMPARE(asked, 2);
        QVERIFY(options().saveLocation == SaveLocation::folder("/srv/out", "-min"));
    }

    void namingErrorReplacesThePreview() {
        SaveLocationPopover popover(*presets, *settings, [](QWidget*) { return std::nullopt; });
        auto* preview = child<QLabel>(&popover, "namingPreview");
        auto* error = child<QLabel>(&popover, "namingError");
        child<QLineEdit>(&popover, "filenamePrefixField")->setText("site-");
        child<QLineEdit>(&popover, "filenameSuffixField")->setText("-web");
        QVERIFY(options().saveLocation == SaveLocation::sourceFolder("-web"));
        QCOMPARE(preview->text(), QStringLiteral("示例：site-照片-web.jpg"));
        QVERIFY(!preview->isHidden() && error->isHidden());
        child<QLineEdit>(&popover, "filenameSuffixField")->setText("a/b");
        QCOMPARE(error->text(), QStringLiteral("文件名前缀和后缀不能包含 / 或空字符"));
        QVERIFY(preview->isHidden() && !error->isHidden());
    }

    void namingThatCannotWorkIsRefused() {
        const QString slash = QStringLiteral("文件名前缀和后缀不能包含 / 或空字符");
        const auto wouldOverwrite = [](const char* name) {
            return QStringLiteral("输出会覆盖原图 %1，请设置前缀、后缀或换目录").arg(QString::fromUtf8(name));
        };
        struct Case {
            const char* name;
            SaveLocation location;
            std::optional<OutputFormat> format;
            const char* field;
            QString typed;
            QString message;  // empty: taken
        };
        const Case cases[] = {
            {"slash in the suffix", SaveLocation::sourceFolder("-min"), {}, "filenameSuffixField", "a/b", slash},
            {"slash in the prefix", SaveLocation::sourceFolder("-min"), {}, "filenamePrefixField", "web/", slash},
            {"no name of its own", SaveLocation::sourceFolder("-min"), {}, "filenameSuffixField", "", wouldOverwrite("照片.jpg")},
            {"no name of its own, PNG", SaveLocation::sourceFolder("-min"), OutputFormat::png, "filenameSuffixField", "",
             wouldOverwrite("照片.png")},
            {"a prefix is enough", SaveLocation::sourceFolder(""), {}, "filenamePrefixField", "s-", {}},
            {"another folder", SaveLocation::folder("/srv/out", "-min"), {}, "filenameSuffixField", "", {}},
        };
        for (const Case& c : cases) {
            setOptions([&](CompressionOptions& o) {
                o.saveLocation = c.location;
                o.format = c.format;
                o.filenamePrefix.clear();
            });
            const CompressionOptions before = options();
            SaveLocationPopover shown(*presets, *settings, [](QWidget*) { return std::nullopt; });
            shown.show();
            auto* field = child<QLineEdit>(&shown, c.field);
            const QString shownBefore = field->text();
            field->setText(c.typed);
            auto* error = child<QLabel>(&shown, "namingError");
            QVERIFY2(error->text() == c.message, c.name);
            QVERIFY2(error->isHidden() == c.message.isEmpty(), c.name);
            QVERIFY2((options() == before) == !c.message.isEmpty(), c.name);  // refused: the chip keeps its value
            shown.hide();  // closing gives the field back the naming in force
            QVERIFY2(field->text() == (c.message.isEmpty() ? c.typed : shownBefore), c.name);
        }
        // Back beside the sources from a folder whose outputs keep their sources' names.
        setOptions([](CompressionOptions& o) { o.saveLocation = SaveLocation::folder("/srv/out", ""); });
        SaveLocationPopover popover(*presets, *settings, [](QWidget*) { return std::nullopt; });
        child<QComboBox>(&popover, "saveModePicker")->setCurrentIndex(0);
        QVERIFY(options().saveLocation == SaveLocation::sourceFolder("-min"));
    }

    void popoversStayOnScreen() {
        const QRect screen(0, 0, 1000, 800);
        const QSize size(260, 300);
        struct Case {
            const char* name;
            QRect anchor;
            QSize size;
            QPoint expected;
        };
        const Case cases[] = {
            {"below", {400, 300, 100, 30}, size, {319, 336}},
            {"above near the bottom", {400, 700, 100, 30}, size, {319, 394}},
            {"above an anchor leaving the screen", {400, 790, 100, 30}, size, {319, 484}},
            {"shifted in at the right edge", {950, 300, 40, 30}, size, {736, 336}},
            {"shifted in at the left edge", {0, 300, 40, 30}, size, {4, 336}},
            {"fits neither side: more room below", {400, 350, 100, 30}, {260, 500}, {319, 296}},
            {"taller than the screen", {400, 100, 100, 30}, {260, 900}, {319, 4}},
        };
        for (const Case& c : cases) QVERIFY2(Popover::placement(c.size, c.anchor, screen, 6, 4) == c.expected, c.name);
    }

    void popoverAboveItsChipStaysAttached() {
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QWidget host;
        auto* layout = new QHBoxLayout(&host);
        auto* chip = new ParameterChip(
            [this] { return new SaveLocationPopover(*presets, *settings, [](QWidget*) { return std::nullopt; }); });
        chip->setTitle(QStringLiteral("原图所在目录"));
        layout->addWidget(chip);
        host.setGeometry(available.left() + 20, available.bottom() + 1 - 60, 300, 60);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        chip->click();
        Popover* popover = chip->popover();
        const auto attachedAbove = [&] {
            return popover->geometry().bottom() + 1 + 6 == chip->mapToGlobal(QPoint(0, 0)).y() &&
                   available.contains(popover->geometry());
        };
        QTRY_VERIFY(attachedAbove());
        const int tall = popover->height();
        child<QComboBox>(popover, "saveModePicker")->setCurrentIndex(2);  // the naming rows go
        QTRY_VERIFY(popover->height() < tall);
        QVERIFY(attachedAbove());
    }

    void chipTogglesItsPopover() {
        QWidget host;
        auto* layout = new QHBoxLayout(&host);
        auto* chip = new ParameterChip([this] { return new LevelPopover(*presets); });
        chip->setTitle(QStringLiteral("平衡"));
        layout->addWidget(chip);
        layout->addStretch();
        host.resize(400, 120);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        const QPoint onChip = chip->mapTo(&host, chip->rect().center());
        // Each press goes to the window, as the window system delivers it, so that an open
        // pop-up sees it first.
        for (const bool opens : {true, false, true}) {
            QTest::mousePress(host.windowHandle(), Qt::LeftButton, {}, onChip);
            QTest::qWait(20);
            QCOMPARE(chip->isOpen(), opens);
            // The offscreen platform grabs no pointer, so Qt never delivers the closing press
            // again here; on a desktop it would, to the chip, unless the pop-up refuses that.
            if (!opens) QVERIFY(chip->popover()->testAttribute(Qt::WA_NoMouseReplay));
            QTest::mouseRelease(host.windowHandle(), Qt::LeftButton, {}, onChip);
        }
        QVERIFY(chip->popover()->geometry().top() > chip->mapToGlobal(QPoint(0, chip->height())).y());
        QTest::keyClick(chip->popover(), Qt::Key_Escape);
        QVERIFY(!chip->isOpen());
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ViewsOptionPopoversTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewsOptionPopoversTest.moc"
