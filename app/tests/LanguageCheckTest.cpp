// The application in English, from the built catalogue: every window of the window tour
// (tools/WindowTour.h — the screenshots' scenes, from real compressions) is read while it shows,
// and no text may hold a Chinese character. Read are the widgets' texts, tooltips, accessible
// names, titles and placeholders, the items of combo boxes and tabs, the actions' texts, the list
// model's display, tooltip and status texts, and whatever the widgets paint (the row delegate's
// lines, the drop zones), caught by rendering each window into a device that records the text it
// is given. The sample files' names are ASCII, so a Chinese character is always a text that
// bypassed the catalogue or lacks its English. Also: the shell's sentences made of a text and its
// values. Translation holds for the whole process, hence a program of its own.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPaintEngine>
#include <QRegularExpression>
#include <QSet>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTextItem>

#include <map>

#include "AppTestSupport.h"
#include "dorvex/text/Translation.h"
#include "shell/BatchNotifier.h"
#include "shell/SingleInstance.h"
#include "shell/TrayIcon.h"
#include "shell/TrayStatus.h"
#include "tools/WindowTour.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

namespace {

// Han characters, CJK punctuation ("，", "：") and full-width forms ("（").
const QRegularExpression chinese(QStringLiteral("[\\x{2E80}-\\x{2FDF}\\x{3000}-\\x{303F}\\x{3400}-\\x{9FFF}"
                                                "\\x{F900}-\\x{FAFF}\\x{FF00}-\\x{FFEF}]"));

// A paint device that keeps the text drawn on it and nothing else.
class TextRecorder final : public QPaintDevice {
public:
    explicit TextRecorder(QSize size) : size_(size) {}
    QPaintEngine* paintEngine() const override { return &engine_; }
    QStringList texts() const { return engine_.texts; }

protected:
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
        case PdmWidth: return size_.width();
        case PdmHeight: return size_.height();
        case PdmDpiX: case PdmDpiY: case PdmPhysicalDpiX: case PdmPhysicalDpiY: return 96;
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return int(devicePixelRatioFScale());
        case PdmDepth: return 32;
        case PdmNumColors: return 0x7fffffff;
        default: return 0;
        }
    }

private:
    struct Engine final : QPaintEngine {
        Engine() : QPaintEngine(AllFeatures) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState&) override {}
        // Shapes and pictures are dropped.
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
        void drawImage(const QRectF&, const QImage&, const QRectF&, Qt::ImageConversionFlags) override {}
        void drawTiledPixmap(const QRectF&, const QPixmap&, const QPointF&) override {}
        void drawPath(const QPainterPath&) override {}
        void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
        void drawPolygon(const QPoint*, int, PolygonDrawMode) override {}
        void drawRects(const QRectF*, int) override {}
        void drawRects(const QRect*, int) override {}
        void drawLines(const QLineF*, int) override {}
        void drawLines(const QLine*, int) override {}
        void drawEllipse(const QRectF&) override {}
        void drawEllipse(const QRect&) override {}
        void drawPoints(const QPointF*, int) override {}
        void drawPoints(const QPoint*, int) override {}
        void drawTextItem(const QPointF&, const QTextItem& item) override { texts << item.text(); }
        Type type() const override { return User; }
        QStringList texts;
    };
    QSize size_;
    mutable Engine engine_;
};

void addText(QStringList& texts, const QString& text) {
    if (!text.trimmed().isEmpty()) texts << text;
}

// Every text `window` holds or paints.
QStringList textsOf(QWidget& window) {
    QStringList texts;
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets.prepend(&window);
    for (QWidget* widget : widgets) {
        for (const QString& text : {widget->windowTitle(), widget->toolTip(), widget->accessibleName(),
                                    widget->accessibleDescription(), widget->statusTip(), widget->whatsThis()})
            addText(texts, text);
        if (auto* label = qobject_cast<QLabel*>(widget)) addText(texts, label->text());
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) addText(texts, button->text());
        if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            addText(texts, line->text());
            addText(texts, line->placeholderText());
        }
        if (auto* combo = qobject_cast<QComboBox*>(widget))
            for (int i = 0; i < combo->count(); ++i) addText(texts, combo->itemText(i));
        if (auto* tabs = qobject_cast<QTabBar*>(widget))
            for (int i = 0; i < tabs->count(); ++i) {
                addText(texts, tabs->tabText(i));
                addText(texts, tabs->tabToolTip(i));
            }
        if (auto* menu = qobject_cast<QMenu*>(widget)) addText(texts, menu->title());
        for (const QAction* action : widget->actions()) {
            addText(texts, action->text());
            addText(texts, action->toolTip());
        }
        if (auto* view = qobject_cast<QAbstractItemView*>(widget); view != nullptr && view->model() != nullptr) {
            const QAbstractItemModel& model = *view->model();
            const QList<int> roles{Qt::DisplayRole, Qt::ToolTipRole, Qt::AccessibleTextRole,
                                   model.roleNames().key("statusText", -1)};
            for (int row = 0; row < model.rowCount(); ++row)
                for (const int role : roles)
                    if (role >= 0) addText(texts, model.index(row, 0).data(role).toString());
        }
    }
    for (const QAction* action : window.findChildren<QAction*>()) addText(texts, action->text());
    TextRecorder recorder(window.size());
    window.render(&recorder);
    for (const QString& text : recorder.texts()) addText(texts, text);
    return texts;
}

}  // namespace

class LanguageCheckTest : public QObject {
    Q_OBJECT

public:
    // `home`: the test's own home folder (testing::TestHome).
    explicit LanguageCheckTest(fs::path home) : home_(std::move(home)) {}

private slots:
    void initTestCase() {
        const QString locale = QCoreApplication::applicationDirPath() + "/../share/locale";
        QVERIFY2(QFile::exists(locale + "/en/LC_MESSAGES/dorvex.mo"), "no English catalogue beside the program");
        qputenv("LANGUAGE", "en");
        qputenv("LC_ALL", "C.UTF-8");
        Translation::useUserLanguage(locale.toStdString());
    }

    // Sentences the shell makes of a text and its values.
    void shellSentences() {
        const fs::path folder = home_ / "runtime";
        fs::create_directories(folder.parent_path());
        fs::create_symlink(home_, folder);
        QCOMPARE(SingleInstance::privateFolderProblem(QString::fromStdString(folder.string())),
                 QString::fromStdString(folder.string()) + " is a symbolic link");
        const AppModel::Summary summary{40, 3};
        QCOMPARE(trayToolTip(summary, AppModel::Progress{3, 40, std::nullopt}, 0, std::nullopt),
                 "Dorvex · Compressing 3/40");
        const std::optional<Notifier::Notice> notice = BatchNotifier::notice({1, 1, 10, 100, 1}, 0);
        QVERIFY(notice.has_value());
        QCOMPARE(notice->title, "Some files could not be compressed");
        QCOMPARE(notice->actionText, "Open Dorvex");
    }

    // The tray icon's tooltip and menu, which no window shows.
    void trayIcon() {
        SettingsStore settings(AppPaths::settingsFolder());
        ObservablePresetStore presets(AppPaths::presetsFile(), settings);
        AppModel model(presets, Toolchain{}, 2);
        TrayIcon tray(model);
        QStringList texts{tray.icon()->toolTip()};
        for (const QAction* action : tray.icon()->contextMenu()->actions()) addText(texts, action->text());
        QCOMPARE(texts, QStringList({"Dorvex", "Open Dorvex", "Settings…", "Quit"}));
    }

    // Every window of the tour, in English through and through.
    void everyWindowInEnglish() {
        std::map<QString, QStringList> leaks;  // text → the moments it showed in
        int visited = 0;
        tour::visitWindows(DORVEX_TEST_MEDIA, home_ / "tour", [&](QWidget& shown, const std::string& name) {
            ++visited;
            const QStringList texts = textsOf(shown);
            for (const QString& text : QSet<QString>(texts.begin(), texts.end()))
                if (text.contains(chinese)) leaks[text] << QString::fromStdString(name);
        });
        QVERIFY2(visited >= 25, qPrintable(QString("only %1 moments of the tour showed").arg(visited)));
        QStringList report;
        for (const auto& [text, moments] : leaks) report << QString("  %1   [%2]").arg(text, moments.join(", "));
        QVERIFY2(leaks.empty(), qPrintable(QString("%1 texts are not in English:\n%2").arg(leaks.size()).arg(report.join('\n'))));
    }

private:
    fs::path home_;
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    LanguageCheckTest test(home.path());
    return QTest::qExec(&test, argc, argv);
}

#include "LanguageCheckTest.moc"
