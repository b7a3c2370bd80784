// The result row: its texts, tags, trailing element and tooltip for every state of an item, the
// colours it paints them in, and thumbnails loaded once per file content, off the main thread,
// in a bounded cache, or left out.

#include <QApplication>
#include <QListView>
#include <QSignalSpy>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "AppTestSupport.h"
#include "model/ItemListModel.h"
#include "views/ResultRowDelegate.h"
#include "views/RowContent.h"
#include "views/ThumbnailCache.h"

using namespace dorvex;
using namespace dorvex::app;
using Trailing = RowContent::Trailing;
using Format::Tag;
using Format::TagColor;

namespace {

CompressionResult success(std::int64_t sourceBytes, std::int64_t outputBytes, PixelSize source = {4000, 3000},
                          PixelSize output = {4000, 3000}) {
    CompressionResult result;
    result.status = CompressionResult::Success{};
    result.output = "/tmp/out/photo-min.jpg";
    result.sourceBytes = sourceBytes;
    result.outputBytes = outputBytes;
    result.sourcePixelSize = source;
    result.pixelSize = output;
    return result;
}

template <typename Change>
CompressionResult with(CompressionResult result, Change change) {
    change(result);
    return result;
}

// WCAG's contrast ratio of two colours, 1 (none) … 21 (black on white).
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF()) + 0.05;
    };
    return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

// One item's row in a list view of its own, painted by the delegate; shown by the caller.
struct OneRow {
    ItemListModel list;
    ThumbnailCache cache{40};
    QListView view;
    ResultRowDelegate* delegate = new ResultRowDelegate(cache, &view);
    CompressionItem* item = new CompressionItem("/photos/a.jpg", {}, &list);

    explicit OneRow(const CompressionItem::State& state) {
        item->setState(state);
        list.insertAtTop({item});
        view.setModel(&list);
        view.setItemDelegate(delegate);
        view.resize(500, 100);
    }
};

}  // namespace

class ViewsResultRowTest : public QObject {
    Q_OBJECT

private slots:
    void rowsShowEveryStateAsThePartSays() {
        CompressionOptions limited;
        limited.maxBytes = 500'000;
        CompressionOptions videoLimited;
        videoLimited.maxBytes = 100;  // an image limit says nothing about a video
        videoLimited.videoMaxBytes = 3'000'000;
        const auto met = [](CompressionResult& r) { r.maxSizeMet = true; };
        CompressionResult skipped = success(1000, 1200);
        skipped.status = CompressionResult::Skipped{SkipReason::noSavings};
        skipped.output.reset();
        skipped.warnings = {"第一条", "第二条"};
        CompressionResult failed;
        failed.status = CompressionResult::Failed{"无法读取这个文件", "cannot open: Permission denied"};
        failed.warnings = {"不显示"};

        struct Case {
            const char* name;
            CompressionItem::State state;
            CompressionOptions options;
            QString status;
            std::vector<Tag> tags;
            Trailing trailing;
            std::string change;
            bool grew;
            QString toolTip;  // below the folder and the path
        };
        const QString output = "\n输出：/tmp/out/photo-min.jpg";
        const Case cases[] = {
            {"queued", CompressionItem::Queued{}, {}, "排队中", {}, Trailing::spinner, "", false, ""},
            {"decoding", CompressionItem::Running{}, {}, "解码中…", {}, Trailing::spinner, "", false, ""},
            {"searching", CompressionItem::Running{3, 70, {}}, {}, "压缩中 · 第 3 次", {}, Trailing::spinner, "", false, ""},
            {"first pass", CompressionItem::Running{1, {}, 0.456}, {}, "压缩中 45%", {}, Trailing::spinner, "", false, ""},
            {"second pass", CompressionItem::Running{2, {}, 0.5}, {}, "第 2 次 · 50%", {}, Trailing::spinner, "", false, ""},
            {"skipped", CompressionItem::Finished{skipped}, {}, "无收益，已保留原图", {}, Trailing::dash, "", false,
             "\n\n第一条\n第二条"},
            {"failed", CompressionItem::Finished{failed}, {}, "无法读取这个文件", {}, Trailing::failure, "", false,
             "\n\n无法读取这个文件\n详情：cannot open: Permission denied"},
            {"limit met", CompressionItem::Finished{with(success(1'000'000, 420'000), met)}, limited,
             "1.00 MB → 420.0 KB · 4000×3000", {{"≤500.0 KB ✓", TagColor::green}}, Trailing::change, "-58%", false, output},
            {"limit missed, downscaled",
             CompressionItem::Finished{with(success(1'000'000, 600'000, {4000, 3000}, {2000, 1500}),
                                            [](CompressionResult& r) { r.maxSizeMet = false; })},
             limited, "1.00 MB → 600.0 KB · 4000×3000 → 2000×1500",
             {{"未达标", TagColor::orange}, {"缩图", TagColor::blue}}, Trailing::change, "-40%", false, output},
            {"no limit of its own", CompressionItem::Finished{with(success(1000, 500), met)}, {}, "1.0 KB → 500 B · 4000×3000",
             {}, Trailing::change, "-50%", false, output},
            {"grew", CompressionItem::Finished{success(1000, 1100)}, {}, "1.0 KB → 1.1 KB · 4000×3000", {},
             Trailing::change, "+10%", true, output},
            {"grew a little", CompressionItem::Finished{success(1000, 1004)}, {}, "1.0 KB → 1.0 KB · 4000×3000", {},
             Trailing::change, "+0%", true, output},
            {"shrank a little", CompressionItem::Finished{success(1000, 996)}, {}, "1.0 KB → 996 B · 4000×3000", {},
             Trailing::change, "+0%", false, output},
            {"video", CompressionItem::Finished{with(success(5'000'000, 2'000'000, {1920, 1080}, {1920, 1080}),
                                                      [](CompressionResult& r) {
                                                          r.maxSizeMet = true;
                                                          r.videoCodec = VideoCodec::hevc;
                                                          r.duration = 83;
                                                      })},
             videoLimited, "5.00 MB → 2.00 MB · HEVC · 1920×1080 · 1:23", {{"≤3.00 MB ✓", TagColor::green}},
             Trailing::change, "-60%", false, output},
            {"pdf", CompressionItem::Finished{with(success(1'000'000, 500'000), [](CompressionResult& r) { r.pageCount = 12; })},
             {}, "1.00 MB → 500.0 KB · 12 页", {}, Trailing::change, "-50%", false, output},
        };

        ItemListModel list;
        for (const Case& c : cases) {
            auto* item = new CompressionItem("/photos/a very long name.jpg", c.options, &list);
            item->setState(c.state);
            list.insertAtTop({item});
            const RowContent row = rowContent(list.index(0));
            QCOMPARE(row.name, QStringLiteral("a very long name.jpg"));
            QVERIFY2(row.status == c.status, qPrintable(QString(c.name) + ": " + row.status));
            QVERIFY2(row.tags == c.tags, c.name);
            QVERIFY2(row.trailing == c.trailing, c.name);
            QVERIFY2(row.failed == (c.trailing == Trailing::failure), c.name);
            if (c.trailing == Trailing::change) {
                QVERIFY2(row.change.text == c.change, qPrintable(QString(c.name) + ": " + row.change.text.c_str()));
                QVERIFY2(row.change.grew == c.grew, c.name);
            }
            const QString place = "文件夹：/photos\n路径：/photos/a very long name.jpg";
            QVERIFY2(row.toolTip == place + c.toolTip, qPrintable(QString(c.name) + ": " + row.toolTip));
        }
    }

    void thumbnailShowsTheOutputOnceThereIsOne() {
        CompressionItem item("/photos/a.png", {});
        QCOMPARE(thumbnailFile(item), std::filesystem::path("/photos/a.png"));
        item.setState(CompressionItem::Finished{success(1000, 500)});
        QCOMPARE(thumbnailFile(item), std::filesystem::path("/tmp/out/photo-min.jpg"));
    }

    void picturesLoadOnceAndUnreadableOnesStayAbsent() {
        QTemporaryDir folder;
        const auto png = testing::writePng(folder.filePath("a.png").toStdString(), 300);
        const auto junk = folder.filePath("junk.jpg").toStdString();
        std::ofstream(junk) << "no picture";
        ThumbnailCache cache(40);
        QSignalSpy loaded(&cache, &ThumbnailCache::loaded);
        QVERIFY(cache.picture(png).isNull());
        QVERIFY(cache.picture(junk).isNull());
        QVERIFY(cache.picture(png).isNull());  // asked again while loading: still one load
        QTRY_COMPARE(loaded.count(), 1);
        QTest::qWait(200);
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(cache.picture(png).size(), QSize(40, 40));
        QVERIFY(cache.picture(junk).isNull());
    }

    // A file rewritten in place (same size, new time) gets a new picture; one evicted from a full
    // cache is loaded again when asked for.
    void picturesFollowTheirFileAndMakeRoom() {
        QTemporaryDir folder;
        const std::filesystem::path file = folder.filePath("a.png").toStdString(), other = folder.filePath("b.png").toStdString();
        const auto paint = [](const std::filesystem::path& path, Qt::GlobalColor colour) {
            QImage image(100, 100, QImage::Format_RGB32);
            image.fill(colour);
            QVERIFY(image.save(QString::fromStdString(path.string())));
        };
        ThumbnailCache cache(40, nullptr, 40 * 40 * 4);
        const auto loadedColour = [&](const std::filesystem::path& path) {
            QImage picture;
            const bool arrived = QTest::qWaitFor([&] { return !(picture = cache.picture(path)).isNull(); });
            return arrived ? picture.pixelColor(20, 20) : QColor();
        };
        paint(file, Qt::red);
        QCOMPARE(loadedColour(file), QColor(Qt::red));
        const auto written = std::filesystem::last_write_time(file);
        paint(file, Qt::blue);
        std::filesystem::last_write_time(file, written + std::chrono::seconds(1));
        QCOMPARE(loadedColour(file), QColor(Qt::blue));
        paint(other, Qt::green);
        QCOMPARE(loadedColour(other), QColor(Qt::green));
        QVERIFY(cache.picture(file).isNull());  // made room for the other
        QCOMPARE(loadedColour(file), QColor(Qt::blue));
    }

    // A selected row's status line and trailing text stand out from the highlight (by WCAG's 3:1 at
    // their solid core), whatever their colour on the plain row, in a light and a dark palette.
    void selectedRowsStayLegible() {
        CompressionResult failed, skipped;
        failed.status = CompressionResult::Failed{"文件已损坏或格式不受支持"};
        skipped.status = CompressionResult::Skipped{SkipReason::noSavings};
        QPalette dark;
        for (const auto role : {QPalette::Base, QPalette::Window}) dark.setColor(role, QColor(0x2a, 0x2a, 0x2a));
        for (const auto role : {QPalette::Text, QPalette::HighlightedText}) dark.setColor(role, Qt::white);
        dark.setColor(QPalette::PlaceholderText, QColor(255, 255, 255, 128));
        dark.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
        const CompressionItem::State rows[] = {CompressionItem::Finished{failed}, CompressionItem::Finished{skipped},
                                               CompressionItem::Finished{success(1000, 1100)}};
        for (const QPalette& palette : {QApplication::palette(), dark}) {
            for (const auto& state : rows) {
                OneRow row(state);
                row.view.setPalette(palette);
                row.view.selectionModel()->select(row.list.index(0), QItemSelectionModel::Select);
                row.view.show();
                QVERIFY(QTest::qWaitForWindowExposed(&row.view));
                const QImage image = row.view.viewport()->grab().toImage();
                const int right = image.width() - 1 - ResultRowDelegate::margin, half = ResultRowDelegate::rowHeight / 2;
                const QColor highlight = image.pixelColor(right - ResultRowDelegate::trailingWidth, 1);
                const int textLeft = ResultRowDelegate::margin + ResultRowDelegate::thumbnailSide + 12;
                // The status line, and the trailing "—" or change (the failure's symbol is an icon).
                QList<QRect> areas{QRect(textLeft, half + 2, 150, half - 6)};
                if (!row.item->result()->failed()) areas << QRect(right - 40, 4, 40, 2 * half - 8);
                for (const QRect& area : areas) {
                    double best = 1;
                    for (int y = area.top(); y <= area.bottom(); ++y)
                        for (int x = area.left(); x <= area.right(); ++x)
                            best = std::max(best, contrast(image.pixelColor(x, y), highlight));
                    QVERIFY2(best >= 3, qPrintable(rowContent(row.list.index(0)).status + ": " + QString::number(best)));
                }
            }
        }
    }

    // Only a running row turns its spinner; a queued one stands still.
    void onlyRunningRowsSpin() {
        for (const auto& [state, spins] : {std::pair<CompressionItem::State, bool>{CompressionItem::Queued{}, false},
                                           {CompressionItem::Running{}, true}}) {
            OneRow row(state);
            row.view.show();
            QVERIFY(QTest::qWaitForWindowExposed(&row.view));
            row.view.viewport()->grab();
            QCOMPARE(row.delegate->animating(), spins);
        }
    }

    // The change in size is painted green when the file shrank and orange when it grew.
    void changeIsPaintedInItsColour() {
        const struct {
            std::int64_t outputBytes;
            TagColor color;
        } cases[] = {{420, TagColor::green}, {1100, TagColor::orange}};
        for (const auto& c : cases) {
            OneRow row(CompressionItem::Finished{success(1000, c.outputBytes)});
            row.view.show();
            QVERIFY(QTest::qWaitForWindowExposed(&row.view));
            const QImage image = row.view.viewport()->grab().toImage();
            const QColor wanted = tagColor(c.color);
            int hits = 0;
            for (int y = 0; y < ResultRowDelegate::rowHeight; ++y)
                for (int x = image.width() - 70; x < image.width(); ++x)
                    hits += image.pixelColor(x, y) == wanted;
            QVERIFY2(hits > 5, qPrintable(QString::number(hits)));
        }
    }
};

int main(int argc, char** argv) {
    dorvex::app::testing::TestHome home;
    QApplication application(argc, argv);
    ViewsResultRowTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewsResultRowTest.moc"
