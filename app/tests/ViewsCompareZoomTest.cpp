// The compare window's arithmetic: fitting, zoom limits and steps, the 100 % toggle, the zoom
// readout, the split.
#include <QTest>

#include "views/CompareZoom.h"

using namespace dorvex;
using namespace dorvex::app;

class ViewsCompareZoomTest : public QObject {
    Q_OBJECT

private slots:
    void fitScale_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<double>("dpr");  // 0: no screen
        QTest::addColumn<double>("expected");
        QTest::newRow("wide photo, width bound") << 4000 << 1000 << 1.0 << 0.2;
        QTest::newRow("tall photo, height bound") << 1000 << 4000 << 1.0 << 0.15;
        QTest::newRow("small picture never enlarged") << 100 << 100 << 1.0 << 1.0;
        QTest::newRow("small picture on a 2x screen") << 100 << 100 << 2.0 << 0.5;
        QTest::newRow("no screen") << 100 << 100 << 0.0 << 0.5;
        QTest::newRow("empty source") << 0 << 100 << 1.0 << 1.0;
        QTest::newRow("negative source") << 100 << -1 << 2.0 << 1.0;
    }
    void fitScale() {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(double, dpr);
        QFETCH(double, expected);
        const auto ratio = dpr > 0 ? std::optional<double>(dpr) : std::nullopt;
        QCOMPARE(CompareZoom::fitScale({width, height}, QSizeF(800, 600), ratio), expected);
    }

    void zoomed_data() {
        QTest::addColumn<double>("effective");
        QTest::addColumn<double>("factor");
        QTest::addColumn<double>("expected");
        QTest::newRow("in") << 1.0 << CompareZoom::zoomInFactor << 1.25;
        QTest::newRow("out") << 1.0 << CompareZoom::zoomOutFactor << 0.8;
        QTest::newRow("in past the top") << 7.0 << CompareZoom::zoomInFactor << 8.0;
        QTest::newRow("out past the bottom") << 0.021 << CompareZoom::zoomOutFactor << 0.02;
        QTest::newRow("pinch far out") << 0.5 << 0.001 << 0.02;
    }
    void zoomed() {
        QFETCH(double, effective);
        QFETCH(double, factor);
        QFETCH(double, expected);
        QCOMPARE(CompareZoom::zoomed(effective, factor), expected);
    }

    void doubleClickTwiceReturnsToFit() {
        const auto once = CompareZoom::toggled(std::nullopt, 2.0);
        QCOMPARE(once, std::optional<double>(0.5));
        QCOMPARE(CompareZoom::toggled(once, 2.0), std::nullopt);
        QCOMPARE(CompareZoom::toggled(std::nullopt, std::nullopt), std::optional<double>(0.5));
    }

    void percentText() {
        QCOMPARE(CompareZoom::percentText(1.0, 1.0), QStringLiteral("100 %"));
        QCOMPARE(CompareZoom::percentText(0.5, 2.0), QStringLiteral("100 %"));
        QCOMPARE(CompareZoom::percentText(0.5, std::nullopt), QStringLiteral("100 %"));  // as on a 2x screen
        QCOMPARE(CompareZoom::percentText(0.1234, 1.0), QStringLiteral("12 %"));
        QCOMPARE(CompareZoom::percentText(CompareZoom::maxScale, 2.0), QStringLiteral("1600 %"));
    }

    void splitFollowsTheDrag_data() {
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("expected");
        QTest::newRow("quarter") << 200.0 << 0.25;
        QTest::newRow("left of the picture") << -30.0 << 0.0;
        QTest::newRow("right of the picture") << 900.0 << 1.0;
    }
    void splitFollowsTheDrag() {
        QFETCH(double, x);
        QFETCH(double, expected);
        QCOMPARE(CompareZoom::splitFraction(x, 800), expected);
    }

    void downscaledOutputDrawnAtTheSourceSize() {
        QCOMPARE(CompareZoom::drawnSize({4000, 3000}, 0.25), QSizeF(1000, 750));
    }
};

QTEST_GUILESS_MAIN(ViewsCompareZoomTest)
#include "ViewsCompareZoomTest.moc"
