// The preset store as the app uses it: the first-launch copy, naming, selection, the modified dot,
// deletion, a stale remembered selection, a failed save, and the settings' defaults.

#include <QSignalSpy>

#include "AppTestSupport.h"
#include "dorvex/library/SettingsDefaults.h"
#include "dorvex/platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "model/ObservablePresetStore.h"

using namespace dorvex;
using dorvex::app::ObservablePresetStore;
namespace fs = std::filesystem;

class AppPresetStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> open(const fs::path& file = AppPaths::presetsFile()) {
        return std::make_unique<ObservablePresetStore>(file, *settings);
    }

private slots:
    void init() {
        fs::remove_all(AppPaths::dataHome());
        fs::remove_all(AppPaths::configHome());
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
    }

    void firstLaunchCopiesTheEarlierPresetsOnce() {
        PresetLibrary earlier = PresetLibrary::initial();
        earlier.add("旧预设", {});
        earlier.save(AppPaths::legacyPresetsFile());
        QCOMPARE(open()->library(), earlier);
        QVERIFY(fs::exists(AppPaths::presetsFile()));

        PresetLibrary::initial().save(AppPaths::legacyPresetsFile());
        QCOMPARE(open()->library(), earlier);
    }

    void blankNamesAreNumbered_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stored");
        QTest::newRow("empty") << "" << "预设 3";
        QTest::newRow("white space and line breaks") << " \n\u3000" << "预设 3";
        QTest::newRow("trimmed") << "  小图 " << "小图";
    }
    void blankNamesAreNumbered() {
        QFETCH(QString, name);
        QFETCH(QString, stored);
        auto store = open();
        store->saveCurrentAsNew(name.toStdString());
        const Preset& added = store->library().presets.back();
        QCOMPARE(QString::fromStdString(added.name), stored);
        QCOMPARE(store->selectedID(), added.id);
        QCOMPARE(settings->stringValue(SettingsKeys::selectedPresetID), added.id.text());
        QCOMPARE(PresetLibrary::load(AppPaths::presetsFile()), store->library());
    }

    void editsAreModifiedUntilTheyMatchOrASelectionDiscardsThem() {
        auto store = open();
        QSignalSpy modified(store.get(), &ObservablePresetStore::modifiedChanged);
        CompressionOptions edited = store->options();
        edited.level = 5;
        store->setOptions(edited);
        QVERIFY(store->isModified());
        store->setOptions(store->selected().options);
        QVERIFY(!store->isModified());
        QCOMPARE(modified.count(), 2);

        store->setOptions(edited);
        store->select(PresetLibrary::webID);
        QCOMPARE(store->options(), store->library().preset(PresetLibrary::webID)->options);
        QVERIFY(!store->isModified());
    }

    void deletingTheSelectedPresetSelectsTheDefault() {
        auto store = open();
        store->saveCurrentAsNew("a");
        const Uuid a = store->selectedID();
        store->select(PresetLibrary::webID);
        CompressionOptions edited = store->options();
        edited.level = 6;
        store->setOptions(edited);
        store->remove(a);  // not selected: selection and edits stay
        QCOMPARE(store->selectedID(), PresetLibrary::webID);
        QCOMPARE(store->options(), edited);

        store->remove(PresetLibrary::webID);
        QCOMPARE(store->selectedID(), PresetLibrary::defaultID);
        QCOMPARE(store->options(), PresetLibrary::initial().presets.front().options);
        store->remove(PresetLibrary::defaultID);  // built in
        QCOMPARE(open()->library().presets.size(), std::size_t(1));
    }

    void aStaleSelectionFallsBackOnTheFirstPreset_data() {
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<bool>("web");
        QTest::newRow("web") << QString::fromStdString(PresetLibrary::webID.text()) << true;
        QTest::newRow("web, lower case") << QString::fromStdString(PresetLibrary::webID.text()).toLower() << true;
        QTest::newRow("deleted") << QString::fromStdString(Uuid::random().text()) << false;
        QTest::newRow("no UUID") << "网页" << false;
    }
    void aStaleSelectionFallsBackOnTheFirstPreset() {
        QFETCH(QString, remembered);
        QFETCH(bool, web);
        settings->setValue(SettingsKeys::selectedPresetID, remembered.toStdString());
        QCOMPARE(open()->selectedID(), web ? PresetLibrary::webID : PresetLibrary::defaultID);
    }

    void aFailedSaveIsLoggedAndKeptInMemory() {
        AtomicFile::write(AppPaths::dataHome() / "blocked", "a file, not a folder");
        auto store = open(AppPaths::dataHome() / "blocked" / "presets.json");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Dorvex: 保存预设失败 .+"));
        store->saveCurrentAsNew("x");
        QCOMPARE(store->library().presets.back().name, "x");
        QVERIFY(!store->rename(store->selectedID(), " "));  // blank: nothing to save, nothing logged
    }

    void registeredDefaultsYieldToStoredValuesAndEarlierOnes() {
        settings->setValue(SettingsKeys::showMenuBarIcon, false);
        settings->setPersistentDomain({{"lastOutputFolder", "/srv/out"}, {"keepRunningInMenuBar", false}},
                                      legacySettingsDomain);
        SettingsKeys::registerDefaults(*settings);
        QCOMPARE(settings->boolValue(SettingsKeys::showMenuBarIcon), false);
        QCOMPARE(settings->boolValue(SettingsKeys::keepRunningInMenuBar), false);
        QCOMPARE(settings->stringValue(SettingsKeys::lastOutputFolder), "/srv/out");
        QCOMPARE(settings->boolValue(SettingsKeys::perceptualScore), true);
        settings->removeValue(SettingsKeys::keepRunningInMenuBar);
        QCOMPARE(settings->boolValue(SettingsKeys::keepRunningInMenuBar), true);
    }
};

DORVEX_APP_TEST_MAIN(AppPresetStoreTest)
#include "AppPresetStoreTest.moc"
