// The views in English, from the built catalogue: sentences made of a text and its values, counts
// in their plural form, and texts kept in tables or made once (the row actions, the empty list,
// the starter presets' names).
// Translation holds for the whole process, hence a program of its own.

#include <QApplication>
#include <QLabel>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "dorvex/text/Format.h"
#include "dorvex/text/Translation.h"
#include "model/CompressionItem.h"
#include "model/ObservablePresetStore.h"
#include "model/UiText.h"
#include "views/CompareInfoBar.h"
#include "views/CompareZoom.h"
#include "views/RowActions.h"
#include "views/window/EmptyDropZone.h"
#include "views/window/EncoderBanner.h"
#include "views/window/PresetBar.h"
#include "views/window/PresetPill.h"
#include "views/window/SummaryBar.h"

using namespace dorvex;
using namespace dorvex::app;

class ViewsLanguageTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        qputenv("LANGUAGE", "en");
        qputenv("LC_ALL", "C.UTF-8");
        Translation::useUserLanguage((QCoreApplication::applicationDirPath() + "/../share/locale").toStdString());
        QCOMPARE(ui("清空"), "Clear");  // the catalogue beside the program is found
    }

    void countsAndSentences() {
        QCOMPARE(summaryText({1, 0, 0, 0}, 1), "1 image · 0 done · 1 unsupported file ignored");
        QCOMPARE(summaryText({3, 3, 0, 0, 2, false}, 4), "3 files · 3 done · 2 failed · 4 unsupported files ignored");
        QCOMPARE(summaryText({}, 0, 12), "Finding files… 12");
        QCOMPARE(missingEncodersText({"cjpeg", "cwebp"}),
                 "Encoders not found: cjpeg, cwebp. Install them with " + encoderInstallHint() + ", then restart Dorvex.");
        QCOMPARE(toolTipWithKey("Compare", QKeySequence(Qt::Key_Return)), "Compare (Return)");
        QCOMPARE(CompareZoom::percentText(1.0, 1.0), "100%");

        CompressionResult result;
        result.status = CompressionResult::Success{};
        result.sourcePixelSize = result.pixelSize = {400, 300};
        result.maxSizeMet = true;
        for (const auto& [count, attempts] : {std::pair{1, "1 attempt"}, std::pair{7, "7 attempts"}}) {
            result.encodeCount = count;
            const QStringList info = compareInfo(result);
            QCOMPARE(info.value(0), "Dimensions " + QString::fromStdString(Format::dimensions(result)));
            QCOMPARE(info.mid(2), QStringList({"Size limit ✓ met", attempts}));
        }
    }

    // Each row action's text and tooltip, the disabled one's reason included.
    void rowActions() {
        CompressionOptions options;
        options.saveLocation = SaveLocation::overwrite();
        CompressionItem item("/photos/a.png", options);
        CompressionResult result;
        result.status = CompressionResult::Success{};
        result.output = "/photos/a.png";
        item.setState(CompressionItem::Finished{result});
        QStringList texts;
        for (const RowAction& action : RowActions::menuEntries(item, nullptr)) texts << action.text << action.toolTip;
        QCOMPARE(texts, QStringList({"Compare", "Compare (Return)", "Show in Files", "Show in Files", "Copy compressed file",
                                     "Copy compressed file (Ctrl+C)", "Recompress",
                                     "The original is in the Trash, so it can't be recompressed", "Remove from list",
                                     "Remove from list (Del)"}));
    }

    void emptyListNamesTheFormats() {
        EmptyDropZone zone;
        QStringList texts;
        for (const QLabel* label : zone.findChildren<QLabel*>()) texts << label->text();
        QVERIFY2(texts.contains("Drop images or folders here"), qPrintable(texts.join('|')));
        QVERIFY2(texts.contains("Images: JPEG · PNG · WebP · AVIF · HEIC · JPEG XL · TIFF · ICNS"), qPrintable(texts.join('|')));
        QVERIFY2(texts.contains("Documents: PDF"), qPrintable(texts.join('|')));
    }

    // The starter presets are stored by their source names and shown by their English ones, whole.
    void starterPresets() {
        SettingsStore settings(AppPaths::settingsFolder());
        ObservablePresetStore presets(AppPaths::presetsFile(), settings);
        PresetBar bar(presets);
        QStringList names;
        for (const PresetPill* pill : bar.findChildren<PresetPill*>()) {
            names << pill->text();
            // Drawn whole at the width it asks for (less its padding, 12 each side).
            QCOMPARE(pill->fontMetrics().elidedText(pill->text(), Qt::ElideRight, pill->sizeHint().width() - 24), pill->text());
        }
        QCOMPARE(names, QStringList({"Default", "Web"}));
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ViewsLanguageTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewsLanguageTest.moc"
