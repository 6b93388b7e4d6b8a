// The window resizes: its list and the single page's text grow with it, and
// at every size from the minimum up each control keeps the room it needs.
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>

#include "app_fixture.h"

namespace sonorix::test {
namespace {

using WindowLayoutTest = AppTest;

// Controls of the shown page narrower or lower than they need, or reaching
// past the window's edge, by object name.
std::vector<std::string> cut_off_controls(QWidget& window) {
    std::vector<std::string> cut;
    const QRect inside = window.rect();
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisible() || w->objectName().isEmpty() || w->objectName().startsWith("qt_")) continue;
        const QSize need = w->minimumSizeHint();
        const QRect at(w->mapTo(&window, QPoint(0, 0)), w->size());
        if (w->width() < need.width() || w->height() < need.height() || !inside.contains(at)) {
            cut.push_back(w->objectName().toStdString());
        }
    }
    return cut;
}

TEST_F(WindowLayoutTest, ControlsGrowWithTheWindowAndNoneIsCutOff) {
    ui::Tmain& w = window();
    w.show();
    const QSize menu(0, w.size().height() - ui::Tmain::kDesignClientSize.height());
    struct Case {
        QSize client;
        bool single_page;
    };
    const Case cases[] = {
        {ui::Tmain::kMinimumClientSize, true},
        {ui::Tmain::kMinimumClientSize, false},
        {ui::Tmain::kDesignClientSize, true},
        {ui::Tmain::kDesignClientSize, false},
        {QSize(1400, 900), true},
        {QSize(1400, 900), false},
    };
    int memo_width = 0, list_width = 0;
    for (const Case& c : cases) {
        w.RzPageControl1->setCurrentWidget(c.single_page ? w.TabSheet1 : w.TabSheet2);
        w.resize(c.client + menu);
        pump(std::chrono::milliseconds(30));
        SCOPED_TRACE(testing::Message() << c.client.width() << "x" << c.client.height()
                                        << (c.single_page ? " single" : " list"));
        EXPECT_EQ(cut_off_controls(w), std::vector<std::string>{});
        // Each larger size gives the page's main view more room.
        QWidget* grows = c.single_page ? static_cast<QWidget*>(w.Memo1) : w.ListView1;
        int& before = c.single_page ? memo_width : list_width;
        EXPECT_GT(grows->width(), before);
        before = grows->width();
    }
    EXPECT_GT(list_width, 1000);
    EXPECT_GT(w.Memo1->height(), 600);
}

}  // namespace
}  // namespace sonorix::test
