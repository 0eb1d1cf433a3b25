// Times the Listing's Refresh over a million records and a viewer's pull at the pane limit.
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
        for (int i = 0; i < 5; ++i) {
            connection->AddChunk(0, 1, "GET http://127.0.0.1/" + std::to_string(made + i) +
                                           " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            connection->AddChunk(1, 1, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nok");
        }
        connection->DetachConnection();
    }
    std::printf("records made: %d in %.0f ms\n", records, Millis(timer));

    QWidget sheet;
    sheet.resize(1000, 700);
    CListDlg listing;
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

    // A viewer whose pane already holds the limit: every pull cuts and redraws.
    CViewTraceDlg viewer;
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
