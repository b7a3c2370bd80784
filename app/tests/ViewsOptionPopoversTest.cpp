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
        struct Case {
            const char* typed;
            int unit;
            std::int64_t bytes;
        };
        for (const Case& c : {Case{"2.345", 1, 2'345'000}, Case{"0.5", 0, 1'000}, Case{"20000000", 1, 10'000'000'000}}) {
            unit->setCurrentIndex(c.unit);
            value->selectAll();
            QTest::keyClicks(value, QString::fromLatin1(c.typed));
            QVERIFY2(options().maxBytes == c.bytes, c.typed);
        }
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
