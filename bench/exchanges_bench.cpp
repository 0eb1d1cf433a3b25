// Times the Exchanges page over a million exchanges: taking them in, filters, sorts, a scroll
// and a selection; and the page's own memory per exchange (heap growth while the page holds
// them, the store's exchanges excluded).
// Run on any Qt platform; offscreen is the default. Argument: the number of exchanges.
#include "app/TraceApp.h"
#include "trace/Exchange.h"
#include "trace/TraceStore.h"
#include "ui/viewers/ExchangeModel.h"
#include "ui/viewers/ExchangesDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

// Milliseconds of this thread's CPU since `since` (the machine may be shared: the wall-clock
// figures then include waiting for a core).
double CpuMillis(double since = 0)
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6 - since;
}

double g_cpuStart = 0;

double Millis(const QElapsedTimer& timer)
{
    const double wall = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    std::printf("[cpu %7.1f ms] ", CpuMillis(g_cpuStart));
    return wall;
}

std::size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    const int count = argc > 1 ? std::max(2, std::atoi(argv[1])) : 1000000;

    CTraceApp app;
    app.InitCore();
    CTraceStore& store = *app.m_pTraceStore;
    QElapsedTimer timer;
    timer.start();
    g_cpuStart = CpuMillis();
    const char* types[] = {"text/html; charset=utf-8", "application/json", "image/png", "text/css"};
    const char* methods[] = {"GET", "GET", "POST", "PUT"};
    for (int i = 0; i < count; ++i) {
        std::shared_ptr<CExchange> e = store.AddExchange();
        e->m_strMethod = methods[i % 4];
        e->m_bHttps = i % 3 == 0;
        e->m_strHost = "host" + std::to_string(i % 977) + ".example.com";
        e->m_nPort = e->m_bHttps ? 443 : 80;
        e->m_strTarget = "/path/" + std::to_string(i * 7919 % 1000003) + "?q=1";
        e->m_strVersion = "HTTP/1.1";
        e->m_strRequestHead = e->m_strMethod + " " + e->m_strTarget + " HTTP/1.1\r\nHost: " + e->m_strHost + "\r\n\r\n";
        e->m_nStatus = i % 10 == 0 ? 404 : 200;
        e->m_strResponseHead = "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(types[i % 4]) + "\r\n\r\n";
        e->m_ResponseBody.total = static_cast<std::uint64_t>(i * 7L % 300000);
        e->m_Times.started = 1'700'000'000'000'000 + i * 1000L;
        e->m_Times.ended = e->m_Times.started + (i * 13L % 2'000'000);
        e->m_nEnd = EExchangeEnd::Complete;
        store.FinishExchange(*e);
    }
    std::printf("exchanges made: %d in %.0f ms\n", count, Millis(timer));

    QWidget sheet;
    sheet.resize(1100, 800);
    CExchangesDlg page(app);
    page.CreateWindow(&sheet)->resize(1090, 790);
    sheet.show();
    QCoreApplication::processEvents();
    CExchangeModel* model = page.GetModel();

    const std::size_t heapBefore = HeapInUse();
    timer.restart();
    g_cpuStart = CpuMillis();
    page.OnFollow();
    QCoreApplication::processEvents();
    std::printf("take in all, shown:                  %8.1f ms\n", Millis(timer));
    const std::size_t heapAfter = HeapInUse();
    std::printf("page memory per exchange:            %8.1f bytes\n",
                static_cast<double>(heapAfter - heapBefore) / count);

    for (const char* filter : {"host:host1", "type:json", "size>100k", "time>500ms", "status:404 -method:post",
                               "example", "nothingmatches", ""}) {
        timer.restart();
        g_cpuStart = CpuMillis();
        page.GetFilter()->setText(QString::fromLatin1(filter));
        model->FinishFilter();
        QCoreApplication::processEvents();
        std::printf("filter %-28s %8.1f ms  (%d rows)\n", filter, Millis(timer), model->rowCount());
    }
    // What one slice of a filter keeps the window from its events.
    timer.restart();
    g_cpuStart = CpuMillis();
    page.GetFilter()->setText(QStringLiteral("host:host2"));
    std::printf("filter's first slice (loop blocked):  %8.1f ms\n", Millis(timer));
    model->FinishFilter();
    page.GetFilter()->setText(QString());
    model->FinishFilter();

    for (int column = 0; column < CExchangeModel::kColumnCount; ++column) {
        timer.restart();
        g_cpuStart = CpuMillis();
        model->Sort(column, CExchangeModel::SortState::Descending);
        model->FinishFilter();
        page.GetList()->viewport()->repaint();
        std::printf("sort by %-28s %8.1f ms\n",
                    model->headerData(column, Qt::Horizontal).toString().toLatin1().constData(), Millis(timer));
    }
    model->Sort(0, CExchangeModel::SortState::None);
    model->FinishFilter();

    double worst = 0;
    QScrollBar* bar = page.GetList()->verticalScrollBar();
    for (int step = 0; step <= 20; ++step) {
        timer.restart();
        g_cpuStart = CpuMillis();
        bar->setValue(bar->maximum() / 20 * step);
        page.GetList()->selectRow(page.GetList()->rowAt(10));
        page.GetList()->viewport()->repaint();
        QCoreApplication::processEvents();
        worst = std::max(worst, static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("scroll and select, worst of 21:      %8.1f ms\n", worst);
    return 0;
}
