// A saved capture opened in the window: shown as it was captured on the Exchanges page and
// the Listing, a page at a time, while the live capture goes on; bad files said in a message.
#include "ShellFixture.h"

#include "app/HarBuilder.h"
#include "app/HarReader.h"
#include "session/SessionSaver.h"
#include "session/SqliteDb.h"
#include "support/EventLoopWait.h"
#include "support/ExchangeWords.h"
#include "trace/TraceRecord.h"
#include "ui/viewers/ExchangeModel.h"
#include "ui/viewers/ListingModel.h"
#include "ui/viewers/SavedCapture.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QTest>

#include <fstream>

namespace {

class SavedCaptureTest : public ShellFixture {
protected:
    // 600 exchanges (more than two pages of rows) on three hosts, each with its two records;
    // a binary body among them. Saved from a store of their own into a session file.
    std::string SaveCapture(CTraceStore& store)
    {
        for (int n = 0; n < 600; ++n) {
            const std::string host = "host" + std::to_string(n % 3) + ".test";
            const std::string request = "POST /item/" + std::to_string(n) + " HTTP/1.1\r\nHost: "
                                        + host + "\r\n\r\nq=" + std::to_string(n);
            const std::string body =
                n == 7 ? std::string("\x89PNG\0\x01", 6) : "body " + std::to_string(n);
            const std::string response =
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body;
            const std::uint64_t id = MakeExchange(store, request, response, host, 80)->m_nId;
            CTraceConnection* entry = store.AddConnection(nullptr, false);
            entry->AddChunk(kSent, ETracePart::Header, request, id);
            entry->AddChunk(kReceived, ETracePart::Header, response, id);
            entry->DetachConnection();
        }
        const std::string path = m_Folder.filePath(QStringLiteral("saved.kestrune")).toStdString();
        std::string error;
        SSessionInfo info;
        info.run = {{"version", "2.1"}};
        info.debugLines = {{0, "CProxy::OnAccept first\r\n"}, {0, "CHost::OnClose last\r\n"}};
        EXPECT_TRUE(SessionSaver::Save(store, info, path, error)) << error;
        return path;
    }

    QTemporaryDir m_Folder;
};

TEST_F(SavedCaptureTest, ShowsTheCaptureAsItWasThenGoesBackToLive)
{
    ASSERT_TRUE(Start());
    CTraceStore captured;
    const std::string path = SaveCapture(captured);
    AddClosedConnection({{kSent, "GET http://live.test/ HTTP/1.1\r\n\r\n"}}); // the live capture

    ASSERT_TRUE(m_sheet->OpenSavedCapture(QString::fromStdString(path)));
    CSavedExchangesPane* exchanges = m_sheet->GetExchangesPage().GetSavedPane();
    ASSERT_TRUE(exchanges && exchanges->isVisible());
    EXPECT_TRUE(exchanges->GetMarker()->text().contains(QStringLiteral("saved.kestrune")));
    EXPECT_EQ(exchanges->GetMarker()->toolTip(), QStringLiteral("version: 2.1"));
    EXPECT_FALSE(m_sheet->GetExchangesPage().GetList()->isVisible());
    CSavedExchangeModel* model = exchanges->GetModel();
    model->FinishLoading();
    ASSERT_EQ(model->rowCount(), 600);
    // Every row read a page at a time across the pages' edges, every cell as the live table's.
    for (int row : {0, 255, 256, 257, 511, 512, 599, 3, 300}) {
        const CExchange& was = *captured.GetExchanges()[static_cast<std::size_t>(row)];
        for (int column = 0; column < CExchangeModel::kColumnCount; ++column)
            EXPECT_EQ(model->data(model->index(row, column)),
                      CExchangeModel::CellData(was, column, Qt::DisplayRole))
                << row << "/" << column;
        EXPECT_TRUE(*model->GetWholeExchange(row) == was) << row;
    }
    EXPECT_LE(model->GetCachedPages(), CSavedExchangeModel::kMaxPages);
    exchanges->GetList()->selectRow(7); // the binary body, byte for byte, in the details
    EXPECT_EQ(exchanges->GetDetails()->GetExchangeId(), 8u);

    exchanges->GetFilter()->setText(QStringLiteral("host:host1 -status:404"));
    model->FinishLoading();
    EXPECT_EQ(model->rowCount(), 200);
    EXPECT_EQ(model->GetId(0), 2u);
    exchanges->GetFilter()->setText(QStringLiteral("text:q=59"));
    model->FinishLoading();
    EXPECT_EQ(model->rowCount(), 11);                    // 59 and 590..599
    exchanges->OnHeaderClicked(CExchangeModel::colPath); // ascending, then descending
    exchanges->OnHeaderClicked(CExchangeModel::colPath);
    model->FinishLoading();
    EXPECT_EQ(model->GetId(0), 600u); // "/item/599" first, "/item/59" last
    EXPECT_EQ(model->GetId(10), 60u);
    EXPECT_EQ(model->FindId(60), 10);
    exchanges->OnHeaderClicked(CExchangeModel::colPath); // the file's order again
    model->FinishLoading();
    EXPECT_EQ(model->GetId(0), 60u);

    m_sheet->SetActivePage(3);
    CSavedListingPane* listing = m_sheet->GetListPage().GetSavedPane();
    ASSERT_TRUE(listing && listing->isVisible());
    CSavedListingModel* records = listing->GetModel();
    records->FinishLoading();
    ASSERT_EQ(records->rowCount(), 1200);
    std::vector<const CTraceRecord*> was;
    for (const auto& entry : captured.GetConnections())
        for (const auto& record : entry->GetRecords())
            was.push_back(record.get());
    for (int row : {0, 255, 256, 1199, 15}) {
        const CTraceRecord& record = *was[static_cast<std::size_t>(row)];
        EXPECT_TRUE(records->GetWholeRecord(row)->GetFields() == record.GetFields()) << row;
        for (int column = 0; column < CListingModel::kColumnCount; ++column)
            EXPECT_EQ(
                records->data(records->index(row, column)),
                CListingModel::CellData(record, record.GetElapsed(), column, Qt::DisplayRole));
    }
    listing->GetList()->selectRow(15);
    listing->OnShow();
    EXPECT_EQ(listing->GetPane()->GetBytes(), was[15]->GetDisplayText());
    listing->GetFilter()->setText(QStringLiteral("host:host2 599"));
    records->FinishLoading();
    EXPECT_EQ(records->rowCount(), 1); // the request line names the item; its answer does not

    QTest::mouseClick(listing->GetBackButton(), Qt::LeftButton);
    EXPECT_FALSE(m_sheet->GetSavedCapture().IsOpen());
    EXPECT_FALSE(listing->isVisible());
    m_sheet->GetListPage().OnRefresh();
    EXPECT_EQ(m_sheet->GetListPage().GetModel()->rowCount(), 1); // the live one, kept all along
    m_sheet->SetActivePage(4);
    EXPECT_FALSE(exchanges->isVisible());
    EXPECT_TRUE(m_sheet->GetExchangesPage().GetList()->isVisible());
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(SavedCaptureTest, SortsExportsAndShowsDebugLinesAsTheLivePagesDo)
{
    ASSERT_TRUE(Start());
    CTraceStore captured;
    const std::string path = SaveCapture(captured);
    ASSERT_TRUE(m_sheet->OpenSavedCapture(QString::fromStdString(path)));

    // Every column both ways, with and without a filter, in the live Listing's order.
    m_sheet->SetActivePage(3);
    CSavedListingPane* listing = m_sheet->GetListPage().GetSavedPane();
    CSavedListingModel* saved = listing->GetModel();
    CListingModel live;
    live.Refresh(captured);
    for (const char* filter : {"", "host:host1"}) {
        listing->GetFilter()->setText(QString::fromLatin1(filter));
        live.SetFilter(filter);
        live.FinishFilter();
        for (int column = 0; column < CListingModel::kColumnCount; ++column) {
            for (bool descending : {false, true}) {
                saved->Sort(column, descending);
                saved->FinishLoading();
                live.Sort(column, descending ? CListingModel::SortState::Descending
                                             : CListingModel::SortState::Ascending);
                live.FinishFilter();
                ASSERT_EQ(saved->rowCount(), live.rowCount()) << filter << column;
                for (int row = 0; row < live.rowCount(); ++row)
                    ASSERT_EQ(saved->GetRowRecord(row)->GetIdText(),
                              live.GetRecord(row)->GetIdText())
                        << filter << " column " << column << " row " << row;
            }
        }
    }
    listing->OnHeaderClicked(CListingModel::colBytes); // a new column, then the third click
    listing->OnHeaderClicked(CListingModel::colBytes);
    listing->OnHeaderClicked(CListingModel::colBytes);
    saved->FinishLoading();
    EXPECT_EQ(saved->GetSortColumn(), -1);
    EXPECT_EQ(saved->GetRowRecord(1)->GetIdText(), "2-2"); // host1 from the second entry on

    // The copies and the HAR come from the exchanges as saved, the selection's or the file's.
    m_sheet->SetActivePage(4);
    CSavedExchangesPane* exchanges = m_sheet->GetExchangesPage().GetSavedPane();
    exchanges->GetModel()->FinishLoading();
    exchanges->GetList()->selectRow(3);
    QMenu* menu = exchanges->MakeContextMenu();
    for (QAction* action : menu->actions())
        if (action->text().startsWith(QStringLiteral("Copy as curl through")))
            action->trigger();
    delete menu;
    EXPECT_TRUE(QApplication::clipboard()->text().contains(
        QStringLiteral("127.0.0.1:%1").arg(m_app->GetListenPort())));
    for (bool selected : {true, false}) {
        const QString har = m_Folder.filePath(selected ? "selected.har" : "all.har");
        ASSERT_TRUE(exchanges->ExportHar(har, selected));
        ASSERT_TRUE(RunUntil([&] { return exchanges->GetHarExport() == nullptr; }));
        CTraceStore read;
        std::string error;
        ASSERT_TRUE(CHarReader::Read(har, read, error)) << error;
        ASSERT_EQ(read.GetExchanges().size(), selected ? 1u : 600u);
        EXPECT_EQ(read.GetExchanges().back()->m_ResponseBody.bytes,
                  selected ? "body 3" : "body 599");
    }

    // The Exchanges table the same way, sorted by SQLite, and with rows hidden.
    CSavedExchangeModel* table = exchanges->GetModel();
    CExchangeModel liveExchanges;
    liveExchanges.TakeNew(captured);
    const auto sameOrders = [&](const std::string& what) {
        for (int column = 0; column < CExchangeModel::kColumnCount; ++column) {
            for (bool descending : {false, true}) {
                table->Sort(column, descending);
                table->FinishLoading();
                liveExchanges.Sort(column, descending ? CExchangeModel::SortState::Descending
                                                      : CExchangeModel::SortState::Ascending);
                liveExchanges.FinishFilter();
                ASSERT_EQ(table->rowCount(), liveExchanges.rowCount()) << what << column;
                for (int row = 0; row < liveExchanges.rowCount(); ++row)
                    ASSERT_EQ(table->GetId(row), liveExchanges.GetExchange(row)->m_nId)
                        << what << " column " << column << " row " << row;
                EXPECT_EQ(table->FindId(table->GetId(7)), 7);
            }
        }
    };
    for (const char* filter : {"", "host:host1"}) {
        table->SetFilter(filter);
        liveExchanges.SetFilter(filter);
        sameOrders(filter);
    }
    table->SetFilter("");
    liveExchanges.SetFilter("");
    table->Sort(CExchangeModel::colId, false);
    liveExchanges.Sort(CExchangeModel::colId, CExchangeModel::SortState::Ascending);
    table->FinishLoading();
    liveExchanges.FinishFilter();
    table->Sort(CExchangeModel::colPath, true); // rows hidden while it runs stay hidden after
    table->HideRows({0, 5});
    liveExchanges.HideRows({0, 5});
    table->FinishLoading();
    EXPECT_EQ(table->rowCount(), 598);
    sameOrders("hidden");

    // The file's debug lines over the live ones, until back to live.
    m_sheet->SetActivePage(5);
    CSavedDebugPane* debug = m_sheet->GetDebugPage().GetSavedPane();
    ASSERT_TRUE(debug && debug->isVisible());
    EXPECT_EQ(debug->GetPane()->GetBytes(), "CProxy::OnAccept first\r\nCHost::OnClose last\r\n");
    QTest::mouseClick(debug->GetBackButton(), Qt::LeftButton);
    EXPECT_FALSE(debug->isVisible());
    EXPECT_TRUE(m_sheet->GetDebugPage().GetPane()->isVisible());
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(SavedCaptureTest, OpensHarAndSaysWhyAFileCannotBeShown)
{
    ASSERT_TRUE(Start());
    CTraceStore captured;
    const std::string path = SaveCapture(captured);
    CHarBuilder har;
    for (const auto& exchange : captured.GetExchanges())
        har.AddExchange(*exchange);
    const QString harPath = m_Folder.filePath(QStringLiteral("browser.har"));
    ASSERT_TRUE(har.WriteFile(harPath));
    ASSERT_TRUE(m_sheet->OpenSavedCapture(harPath));
    CSavedExchangeModel* model = m_sheet->GetExchangesPage().GetSavedPane()->GetModel();
    model->FinishLoading();
    EXPECT_EQ(model->rowCount(), 600);
    EXPECT_EQ(model->GetWholeExchange(599)->m_ResponseBody.bytes, "body 599");

    struct Case {
        const char* name;
        std::string bytes; // written over a copy of the session; empty: changed by SQL
        const char* sql;
        const char* said;
    };
    std::ifstream in(path, std::ios::binary);
    const std::string session{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::vector<Case> cases = {
        {"not a session", "{\"log\": 1}", nullptr, "not a Kestrune session"},
        {"cut", session.substr(0, 5000), nullptr, "truncated"},
        {"newer", std::string(), "PRAGMA user_version=9", "newer Kestrune"},
        {"no records", std::string(), "DROP TABLE record_packs", "no such table"},
    };
    for (const Case& c : cases) {
        const std::string bad =
            m_Folder.filePath(QString::fromLatin1(c.name) + ".kestrune").toStdString();
        std::ofstream(bad, std::ios::binary) << (c.bytes.empty() ? session : c.bytes);
        if (c.sql) {
            CSqliteDb db;
            ASSERT_TRUE(db.Open(bad, true) && db.Exec(c.sql)) << db.Error();
        }
        m_messages.clear();
        EXPECT_FALSE(m_sheet->OpenSavedCapture(QString::fromStdString(bad))) << c.name;
        ASSERT_EQ(m_messages.size(), 1u) << c.name;
        EXPECT_NE(m_messages[0].find(c.said), std::string::npos) << c.name << ": " << m_messages[0];
        EXPECT_EQ(model->rowCount(), 600) << c.name; // what was shown stays
    }
}

} // namespace
