#pragma once
#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGUSR1 into a Qt signal on the event-loop thread. The signal
// handler only writes the signal number to a pipe; nothing else runs inside it.
class CSignalPipe : public QObject {
    Q_OBJECT
public:
    explicit CSignalPipe(QObject* parent = nullptr);
    ~CSignalPipe() override;

    bool IsValid() const { return m_fds[0] >= 0; }

signals:
    void Signalled(int signalNumber);

private:
    void OnReadable();

    int m_fds[2] = {-1, -1};
    QSocketNotifier* m_pNotifier = nullptr;
};
