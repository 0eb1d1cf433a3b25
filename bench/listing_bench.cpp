// Times the Listing's Refresh, filter and sort over a million records and a viewer's pull at
// the pane limit.
// Run on any Qt platform; offscreen is the default.
#include "app/TraceApp.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"
#include "ui/viewers/ListDlg.h"
#include "ui/viewers/ViewTraceDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Millis(const QElapsedTimer& timer) { return timer.nsecsElapsed() / 1e6; }

void Report(const char* what, const std::vector<double>& ms)
{
    std::printf("%-44s median %8.2f ms   min %8.2f   max %8.2f   (%zu runs)\n", what, Median(ms),
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                ms.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    int records = 1000000;
    if (argc > 1)
        records = std::max(2, std::atoi(argv[1]));

    CTraceApp app;
    app.InitCore();
    app.m_bRequestViewer = 0;
    app.m_bResponseViewer = 0;
    CTraceStore& store = *app.m_pTraceStore;

    QElapsedTimer timer;
    timer.start();
    for (int made = 0; made < records; made += 10) {
        CTraceConnection* connection = store.AddConnection(nullptr, false);
        // Keep-alive connections to a hundred hosts; one answer in seven is a 404.
        const std::string host = "host" + std::to_string(made / 10 % 100) + ".test";
        for (int i = 0; i < 5; ++i) {
            connection->AddChunk(ETraceDirection::Sent, ETracePart::Header,
                                 "GET /" + std::to_string(made + i) + " HTTP/1.1\r\nHost: " + host
                                     + "\r\n\r\n");
            connection->AddChunk(ETraceDirection::Received, ETracePart::Header,
                                 (made + i) % 7 == 0
                                     ? "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n\r\nno"
                                     : "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nok");
        }
        connection->DetachConnection();
    }
    std::printf("records made: %d in %.0f ms\n", records, Millis(timer));

    QWidget sheet;
    sheet.resize(1000, 700);
    CListDlg listing(app);
    QWidget* page = listing.CreateWindow(&sheet);
    page->resize(990, 690);
    sheet.show();
    QCoreApplication::processEvents();

    std::vector<double> refresh;
    for (int run = 0; run < 5; ++run) {
        timer.restart();
        listing.OnRefresh();
        listing.GetList()->repaint();
        QCoreApplication::processEvents();
        refresh.push_back(Millis(timer));
        std::printf("  refresh run %d: %.2f ms\n", run + 1, refresh.back());
    }
    std::printf("rows listed: %d\n", listing.GetModel()->rowCount());
    Report("Listing Refresh (rows rebuilt and painted)", refresh);

    std::vector<double> scroll;
    QScrollBar* bar = listing.GetList()->verticalScrollBar();
    for (int step = 0; step < 50; ++step) {
        timer.restart();
        bar->setValue(static_cast<int>(static_cast<long long>(bar->maximum()) * step / 49));
        listing.GetList()->viewport()->repaint();
        scroll.push_back(Millis(timer));
    }
    Report("Listing scroll jump and repaint", scroll);

    // Filters as typed: the time until the rows change, and the longest stretch the event loop
    // waited (the first slice runs inside the keystroke, the rest between events).
    CListingModel* model = listing.GetModel();
    std::printf("filter, as typed                  applied ms: median   first   longest slice ms   rows shown\n");
    // Right after a Refresh the pairs are found between events; a user types later than that.
    {
        timer.restart();
        listing.OnRefresh();
        while (model->IsFiltering() || timer.elapsed() < 2000)
            QCoreApplication::processEvents();
        std::printf("  (Refresh, then the event loop for 2 s: pairs found in the background)\n");
    }
    const char* filters[] = {"/4242", "status:404", "host:host7.test", "method:post",
                             "-status:2xx host:host1", "text:nothere", "ok", ""};
    for (const char* filter : filters) {
        std::vector<double> applied;
        double longest = 0;
        for (int run = 0; run < 3; ++run) {
            model->SetFilter("x"); // from another filter, as after a keystroke
            model->FinishFilter();
            timer.restart();
            QElapsedTimer slice;
            slice.start();
            model->SetFilter(filter);
            longest = std::max(longest, Millis(slice));
            while (model->IsFiltering()) {
                slice.restart();
                QCoreApplication::processEvents();
                longest = std::max(longest, Millis(slice));
            }
            listing.GetList()->viewport()->repaint();
            applied.push_back(Millis(timer));
        }
        // The first run of a host:, method: or status: term also pairs requests and responses.
        std::printf("  %-36s %8.1f %8.1f   %8.1f   %10d\n", *filter ? filter : "(none)", Median(applied),
                    applied.front(), longest, model->rowCount());
    }

    std::vector<double> sorted;
    for (int column = 0; column < CListingModel::kColumnCount; ++column) {
        timer.restart();
        model->Sort(column, CListingModel::SortState::Ascending);
        model->FinishFilter();
        listing.GetList()->viewport()->repaint();
        std::printf("  sort by column %d: %.1f ms\n", column, Millis(timer));
    }
    model->Sort(0, CListingModel::SortState::None);

    // A viewer whose pane already holds the limit: every pull cuts and redraws.
    CViewTraceDlg viewer(app);
    viewer.CreateWindow(&sheet)->resize(990, 690);
    viewer.GetWindow()->show();
    app.m_bRequestViewer = 1;
    const std::string line(78, 'x');
    std::string full;
    while (full.size() < 128000)
        full += line + "\r\n";
    full.resize(128000);
    store.AppendRequestText(full, std::string());
    viewer.PullFeed();
    QCoreApplication::processEvents();

    std::vector<double> atCap;
    for (int run = 0; run < 20; ++run) {
        std::string chunk;
        for (int i = 0; i < 25; ++i)
            chunk += line + "\r\n"; // 2000 bytes, about one request's text
        store.AppendRequestText(chunk, "\r\n-------- 12:00:00 (1-1) --------\r\n");
        timer.restart();
        viewer.PullFeed();
        viewer.GetPane()->viewport()->repaint();
        atCap.push_back(Millis(timer));
    }
    Report("Viewer PullFeed at the 128000 limit", atCap);

    std::vector<double> belowCap;
    viewer.ClearPane();
    for (int run = 0; run < 20; ++run) {
        std::string chunk;
        for (int i = 0; i < 25; ++i)
            chunk += std::string(78, 'y') + "\r\n";
        store.AppendRequestText(chunk, "\r\n");
        timer.restart();
        viewer.PullFeed();
        viewer.GetPane()->viewport()->repaint();
        belowCap.push_back(Millis(timer));
    }
    Report("Viewer PullFeed below the limit (append)", belowCap);
    return 0;
}
