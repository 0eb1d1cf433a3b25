// A saved capture of a million exchanges in the window: writes the file when it is missing
// (each exchange a request and its answer on one of 200 hosts, ten per keep-alive connection,
// two records each), then opens it on the Exchanges page and the Listing (offscreen) and times
// the first rows shown, the whole file read, a filter over all of it, and the memory in use.
// Usage: saved_capture_bench FILE [EXCHANGES]   (default 1,000,000)
#include "app/TraceApp.h"
#include "session/SessionBatch.h"
#include "session/SessionWriter.h"
#include "ui/viewers/ExchangeModel.h"
#include "ui/viewers/ExchangesDlg.h"
#include "ui/viewers/ListDlg.h"
#include "ui/viewers/ListingModel.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/SavedExchangeModel.h"
#include "ui/viewers/SavedExchangesPane.h"
#include "ui/viewers/SavedListingModel.h"
#include "ui/viewers/SavedListingPane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

long StatusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

void AddExchange(SSessionBatch& batch, std::uint64_t n)
{
    static const char* const kTypes[] = {"text/html; charset=utf-8", "application/json",
                                         "image/png", "text/css"};
    const int connection = static_cast<int>(n / 10 + 1);
    const int sequence = static_cast<int>(n % 10) * 2 + 1;
    const std::string host = "api-" + std::to_string(n / 10 % 200) + ".shop.test";
    const std::string path = "/item/" + std::to_string(n) + (n % 3 ? "?page=2" : "");
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n";
    const std::string body = "{\"item\": " + std::to_string(n) + ", \"name\": \"widget "
                             + std::to_string(n % 977) + "\"}";
    const int status = n % 17 == 0 ? 404 : 200;
    const std::string response =
        "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Not Found")
        + "\r\nContent-Type: " + kTypes[n % 4]
        + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    const std::int64_t started = 1'760'000'000'000'000 + static_cast<std::int64_t>(n) * 5000;

    CExchange e;
    e.m_nId = n + 1;
    e.m_nBrowserConnection = connection;
    e.m_nServerConnection = connection;
    e.m_strHost = host;
    e.m_nPort = 80;
    e.m_strMethod = "GET";
    e.m_strTarget = path;
    e.m_strVersion = "HTTP/1.1";
    e.m_strRequestHead = request;
    e.m_nStatus = status;
    e.m_strReason = status == 200 ? "OK" : "Not Found";
    e.m_strResponseHead = response;
    e.m_ResponseBody = {body, body.size()};
    e.m_Times = {started,
                 0,
                 0,
                 0,
                 started + 100,
                 started + 900,
                 started + 1000 + static_cast<std::int64_t>(n % 5000)};
    e.m_nEnd = EExchangeEnd::Complete;
    batch.exchanges.push_back(std::move(e));

    STraceRecordFields sent;
    sent.connectionId = connection;
    sent.sequence = sequence;
    sent.bytes = static_cast<std::int32_t>(request.size());
    sent.text = request;
    sent.elapsed = 1;
    sent.captured = static_cast<std::time_t>(started / 1000000);
    sent.exchange = n + 1;
    STraceRecordFields received = sent;
    received.sequence = sequence + 1;
    received.direction = ETraceDirection::Received;
    received.bytes = static_cast<std::int32_t>(response.size() + body.size());
    received.header = response;
    received.text = body;
    received.contentType = kTypes[n % 4];
    batch.records.push_back(std::move(sent));
    batch.records.push_back(std::move(received));
}

bool Generate(const std::string& path, std::uint64_t count)
{
    CSessionWriter writer;
    std::string error;
    if (!writer.Create(path, error)) {
        std::fprintf(stderr, "saved_capture_bench: %s\n", error.c_str());
        return false;
    }
    SSessionBatch batch;
    batch.run = {{"program", "saved_capture_bench"}};
    for (std::uint64_t n = 0; n < count; ++n) {
        AddExchange(batch, n);
        if (batch.exchanges.size() == 10000 || n + 1 == count) {
            if (!writer.Write(batch, error)) {
                std::fprintf(stderr, "saved_capture_bench: %s\n", error.c_str());
                return false;
            }
            batch = {};
        }
    }
    return true;
}

double Ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

// Events until the model has rows (bounded).
template <typename Model> void WaitForRows(Model* model)
{
    for (int i = 0; i < 100000 && model->rowCount() == 0; ++i)
        QCoreApplication::processEvents();
}

// The loop's longest turn while a saved table sorts (and reads) on, from a 10 ms ticker's
// longest gap.
double LongestTurnWhileSorting(CSavedTableModel& model)
{
    QElapsedTimer gap;
    gap.start();
    double longest = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, Ms(gap));
        gap.restart();
    });
    ticker.start(10);
    for (int i = 0; i < 100'000 && (model.IsSorting() || model.IsLoading()); ++i)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return longest;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: saved_capture_bench FILE [EXCHANGES]\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::uint64_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1'000'000;
    if (!std::filesystem::exists(path)) {
        QElapsedTimer timer;
        timer.start();
        if (!Generate(path, count))
            return 1;
        std::printf("generated %llu exchanges in %.1f s: %.0f MiB\n",
                    static_cast<unsigned long long>(count), Ms(timer) / 1000,
                    static_cast<double>(std::filesystem::file_size(path)) / (1 << 20));
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    CTraceApp app;
    app.InitCore();
    CSavedCapture capture;
    QWidget sheet;
    sheet.resize(1100, 800);
    CExchangesDlg exchanges(app);
    exchanges.SetSavedCapture(&capture);
    exchanges.CreateWindow(&sheet)->resize(1090, 790);
    CListDlg listing(app);
    listing.SetSavedCapture(&capture);
    listing.CreateWindow(&sheet)->resize(1090, 790);
    listing.GetWindow()->hide();
    sheet.show();
    QCoreApplication::processEvents();
    std::printf("RSS before opening:                 %8.0f MiB\n", StatusKiB("VmRSS:") / 1024.0);

    CSavedExchangesPane* pane = exchanges.GetSavedPane();
    CSavedExchangeModel* model = pane->GetModel();
    QElapsedTimer timer;
    timer.start();
    if (!capture.Open(QString::fromStdString(path)))
        return 1;
    WaitForRows(model);
    pane->GetList()->viewport()->repaint();
    std::printf("first rows shown                    %8.1f ms  (%d exchanges, %d records)\n",
                Ms(timer), model->rowCount(), listing.GetSavedPane()->GetModel()->rowCount());
    model->FinishLoading();
    std::printf("Exchanges: every row in             %8.1f ms  (%d rows)\n", Ms(timer),
                model->rowCount());

    CSavedListingPane* records = listing.GetSavedPane();
    CSavedListingModel* recordModel = records->GetModel();
    timer.restart();
    recordModel->FinishLoading();
    std::printf("Listing: every row in               %8.1f ms  (%d rows)\n", Ms(timer),
                recordModel->rowCount());

    for (const char* filter : {"host:api-7 item", "status:404", "type:json 99", "text:widget"}) {
        timer.restart();
        pane->GetFilter()->setText(QString::fromLatin1(filter));
        model->FinishLoading();
        std::printf("Exchanges: filter %-20s %8.1f ms  (%d rows)\n", filter, Ms(timer),
                    model->rowCount());
    }
    for (const char* filter : {"host:api-7 item", "text:widget"}) {
        timer.restart();
        records->GetFilter()->setText(QString::fromLatin1(filter));
        recordModel->FinishLoading();
        std::printf("Listing: filter %-22s %8.1f ms  (%d rows)\n", filter, Ms(timer),
                    recordModel->rowCount());
    }
    // The Listing sorted by SQLite on its thread.
    records->GetFilter()->setText(QString());
    recordModel->FinishLoading();
    for (int column : {CListingModel::colSummary, CListingModel::colBytes}) {
        timer.restart();
        records->OnHeaderClicked(column);
        const double longest = LongestTurnWhileSorting(*recordModel);
        std::printf("Listing: sort by %-21s %8.1f ms  (loop's longest turn %.0f ms, RSS %.0f MiB)\n",
                    recordModel->headerData(column, Qt::Horizontal).toString().toLatin1().constData(),
                    Ms(timer), longest, StatusKiB("VmRSS:") / 1024.0);
    }
    pane->GetFilter()->setText(QString());
    model->FinishLoading();
    // The Exchanges table sorted the same way.
    for (int column : {CExchangeModel::colPath, CExchangeModel::colTime}) {
        timer.restart();
        pane->OnHeaderClicked(column);
        const double longest = LongestTurnWhileSorting(*model);
        model->FinishLoading();
        std::printf(
            "Exchanges: sort by %-19s %8.1f ms  (loop's longest turn %.0f ms, RSS %.0f MiB)\n",
            CExchangeModel::Heading(column).toString().toLatin1().constData(), Ms(timer), longest,
            StatusKiB("VmRSS:") / 1024.0);
    }

    // Viewing: scrolling through, a row's details each time.
    QScrollBar* bar = pane->GetList()->verticalScrollBar();
    double worst = 0;
    for (int step = 0; step <= 20; ++step) {
        timer.restart();
        bar->setValue(bar->maximum() / 20 * step);
        pane->GetList()->selectRow(pane->GetList()->rowAt(10));
        pane->GetList()->viewport()->repaint();
        worst = std::max(worst, Ms(timer));
    }
    std::printf("Exchanges: slowest scroll + details %8.1f ms\n", worst);
    std::printf("RSS while viewing:                  %8.0f MiB (peak %.0f MiB)\n",
                StatusKiB("VmRSS:") / 1024.0, StatusKiB("VmHWM:") / 1024.0);
    capture.Close();
    app.ExitInstance();
    return 0;
}
