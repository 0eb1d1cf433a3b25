// The Listing as a user first meets it, in the window at its opening size: a filter typed a
// letter at a time, its messages, the menu from the keyboard and the columns.
#include "ShellFixture.h"

#include "support/ExchangeWords.h"
#include "support/TraceWords.h"
#include "ui/viewers/ListingModel.h"

#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QSet>
#include <QTabBar>
#include <QTest>
#include <QTimer>

namespace {

class ListingFixesTest : public ShellFixture {
protected:
    CListDlg& OpenListing()
    {
        EXPECT_TRUE(Start());
        m_sheet->SetActivePage(3);
        return m_sheet->GetListPage();
    }
};

TEST_F(ListingFixesTest, SelectionComesBackWhenTheWholeTermShowsItsRows)
{
    CListDlg& list = OpenListing();
    // Each request with the exchange the relay would have made for it: host: reads its route.
    for (const char* host : {"host.test", "other.test"}) {
        const std::string request = "GET http://" + std::string(host) + "/ HTTP/1.1\r\n\r\n";
        const std::string response = host == std::string("host.test") ? "HTTP/1.1 200 OK\r\n\r\n" : "";
        const std::uint64_t id = MakeExchange(*m_app->m_pTraceStore, request, response, host, 80)->m_nId;
        CTraceConnection* entry = m_app->m_pTraceStore->AddConnection(nullptr, false);
        entry->AddChunk(kSent, ETracePart::Header, request, id);
        if (!response.empty())
            entry->AddChunk(kReceived, ETracePart::Header, response, id);
        entry->DetachConnection();
    }
    list.OnRefresh();
    list.GetList()->selectionModel()->setCurrentIndex(list.GetModel()->index(1, 0),
                                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const CTraceRecord* selected = list.GetModel()->GetRecord(1);
    // "ho" hides every row (no summary holds it); "host:host" shows them again.
    for (const char* typed : {"h", "ho", "hos", "host", "host:", "host:h", "host:host"}) {
        list.GetFilter()->setText(QString::fromLatin1(typed));
        list.GetModel()->FinishFilter();
    }
    ASSERT_EQ(list.GetModel()->rowCount(), 2);
    const QModelIndexList rows = list.GetList()->selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(list.GetModel()->GetRecord(rows[0].row()), selected);

    // A selection the user changes while rows are hidden is the one kept.
    list.GetFilter()->setText("zzz");
    list.GetModel()->FinishFilter();
    list.GetFilter()->setText("");
    list.GetModel()->FinishFilter();
    list.GetList()->clearSelection();
    list.GetFilter()->setText("host:host");
    list.GetModel()->FinishFilter();
    EXPECT_TRUE(list.GetList()->selectionModel()->selectedRows().isEmpty());
}

TEST_F(ListingFixesTest, OpensWithHintsHeadingsAndRowsUncut)
{
    CListDlg& list = OpenListing();
    const QFontMetrics metrics = list.GetFilter()->fontMetrics();
    // The hint shows whole in the field.
    EXPECT_GT(list.GetFilter()->width(), metrics.horizontalAdvance(list.GetFilter()->placeholderText()) + 16);
    // Every heading shows whole before the first Refresh.
    QHeaderView* header = list.GetList()->horizontalHeader();
    for (int column = 0; column < CListingModel::kColumnCount; ++column)
        EXPECT_GT(header->sectionSize(column),
                  metrics.horizontalAdvance(list.GetModel()->headerData(column, Qt::Horizontal).toString()))
            << column;
    // After it, a local request's method and URL show whole beside the row's icon, and no
    // column runs past the list.
    AddClosedConnection({{kSent, "GET https://localhost:8010/ HTTP/1.1\r\n\r\n"}});
    list.OnRefresh();
    QApplication::processEvents();
    EXPECT_FALSE(list.GetList()->horizontalScrollBar()->isVisible());
    EXPECT_GT(header->sectionSize(CListingModel::colSummary),
              metrics.horizontalAdvance(QStringLiteral("GET https://localhost:8010/")) + 16 + 8);

    // A filter's message shows whole below the field, the list below it.
    list.GetFilter()->setText("status:");
    QLabel* error = list.GetFilterError();
    ASSERT_TRUE(error->isVisible());
    EXPECT_EQ(error->text(), "status: needs a value");
    EXPECT_GE(error->width(), error->fontMetrics().horizontalAdvance(error->text()));
    EXPECT_GT(list.GetList()->y(), error->geometry().bottom());
}

TEST_F(ListingFixesTest, MenuOpensWithShiftF10AndItsLettersAreUnique)
{
    CListDlg& list = OpenListing();
    AddClosedConnection({{kSent, "GET http://a.test/ HTTP/1.1\r\n\r\n"}});
    list.OnRefresh();
    m_sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_sheet));
    list.GetList()->setFocus();
    list.GetList()->setCurrentIndex(list.GetModel()->index(0, 0));
    QStringList shown;
    // The menu runs its own loop: read and close it from there.
    QTimer::singleShot(0, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* action : menu->actions())
                shown << action->text();
            menu->close();
        }
    });
    QTest::keyClick(list.GetList(), Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_FALSE(shown.isEmpty());
    QSet<QChar> letters;
    for (const QString& text : shown) {
        const qsizetype at = text.indexOf(QLatin1Char('&'));
        if (at < 0)
            continue;
        EXPECT_FALSE(letters.contains(text[at + 1].toLower())) << text.toStdString();
        letters.insert(text[at + 1].toLower());
    }
}

} // namespace
