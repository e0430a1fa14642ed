#include "link/QtSerialPort.h"

#include <QEvent>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif
#endif

namespace otp {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

int MillisecondsUntil(SteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - SteadyClock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 1, 24LL * 3600 * 1000));
}

class QtSerialPort final : public SerialPort {
 public:
  /// Bytes a transmitter holds while it shifts them out.
  static constexpr std::size_t kTransmitFifo = 16;

  explicit QtSerialPort(const std::string& device) : port_(QString::fromStdString(device)) {}

  bool Open(std::string& error) {
    if (!port_.open(QIODevice::ReadWrite)) {
      error = SystemReason();
      return false;
    }
#ifdef Q_OS_UNIX
    // The port is used blocking, but QSerialPort also watches it in the event loop of its
    // thread. A line whose far end went away (a cable pulled, an adapter unplugged) then
    // stays readable with nothing to read, and would wake that loop again and again while
    // the window waits idle. The port is closed instead: the loop sleeps, and the next
    // read or write fails as it must.
    for (QSocketNotifier* notifier : port_.findChildren<QSocketNotifier*>()) {
      if (notifier->type() == QSocketNotifier::Read) notifier->installEventFilter(&hangUpWatch_);
    }
#endif
#ifdef Q_OS_LINUX
    // USB adapters otherwise hold short replies back for their latency timer.
    serial_struct serial{};
    if (::ioctl(port_.handle(), TIOCGSERIAL, &serial) == 0) {
      serial.flags |= ASYNC_LOW_LATENCY;
      ::ioctl(port_.handle(), TIOCSSERIAL, &serial);
    }
#endif
    return true;
  }

  ConfigResult Configure(std::int32_t baud) override {
    // The read and write limits need no port setting: Read and Write keep them.
    if (!ReadPortSettings()) return ConfigResult::kInfoUnavailable;
    if (baud <= 0 || !port_.setBaudRate(baud) || !port_.setDataBits(QSerialPort::Data8) ||
        !port_.setParity(QSerialPort::NoParity) || !port_.setStopBits(QSerialPort::OneStop) ||
        !port_.setFlowControl(QSerialPort::HardwareControl)) {
      port_.clearError();
      return ConfigResult::kSettingRejected;
    }
    // A line without modem lines (a pseudo-terminal) cannot assert DTR; that is no error.
    port_.setDataTerminalReady(true);
    port_.clearError();
    byteTime_ = microseconds(1'000'000LL * kBitsPerByte / baud);
    return ConfigResult::kOk;
  }

  ReadResult Read(std::uint8_t* buffer, std::size_t count) override {
    return ReadWithin(buffer, count, timeouts::ReadLimit(count));
  }

  ReadResult ReadWithin(std::uint8_t* buffer, std::size_t count,
                        std::chrono::milliseconds within) override {
    const auto start = SteadyClock::now();
    const auto limit = start + within;
    auto lastByte = start;
    std::size_t got = 0;
    while (got < count) {
      const qint64 available = port_.bytesAvailable();
      if (available > 0) {
        const qint64 wanted = std::min<qint64>(available, static_cast<qint64>(count - got));
        const qint64 read = port_.read(reinterpret_cast<char*>(buffer + got), wanted);
        if (read < 0) return ReadResult{false, got};
        got += static_cast<std::size_t>(read);
        lastByte = SteadyClock::now();
        // More bytes are on their way at the line's pace: let a few of them gather before
        // looking again, rather than waking for every byte. The pause stays far below
        // the 100 ms that end a read once bytes stop.
        if (got < count && byteTime_.count() > 0) {
          const auto gather = std::min<microseconds>(
              byteTime_ * static_cast<long long>(std::min<std::size_t>(count - got - 1, 16)),
              milliseconds(20));
          std::this_thread::sleep_until(std::min(lastByte + gather, limit));
        }
        continue;
      }
      auto deadline = limit;
      if (got > 0) deadline = std::min(deadline, lastByte + timeouts::kReadInterval);
      if (SteadyClock::now() >= deadline) break;
      port_.clearError();
      if (!port_.waitForReadyRead(MillisecondsUntil(deadline))) {
        const auto error = port_.error();
        if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError) {
          port_.clearError();
          return ReadResult{false, got};
        }
      }
    }
    return ReadResult{true, got};
  }

  std::size_t Write(const std::uint8_t* data, std::size_t count) override {
    if (count == 0) return 0;
    const auto start = SteadyClock::now();
    const auto deadline = start + timeouts::WriteLimit(count);
    port_.clearError();
    if (port_.write(reinterpret_cast<const char*>(data), static_cast<qint64>(count)) < 0) {
      port_.clearError();
      return 0;
    }
    bool broken = false;
    while (port_.bytesToWrite() > 0 && SteadyClock::now() < deadline) {
      if (!port_.waitForBytesWritten(MillisecondsUntil(deadline))) {
        const auto error = port_.error();
        if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError) {
          broken = true;
          break;
        }
      }
    }
    std::size_t unsent = static_cast<std::size_t>(port_.bytesToWrite());
    // The bytes have left the port only when the driver's queue is empty.
    std::size_t queued = broken ? 0 : DriverQueue();
    while (queued > 0 && SteadyClock::now() < deadline) {
      const auto drain =
          std::max<microseconds>(byteTime_ * static_cast<long long>(queued), microseconds(100));
      std::this_thread::sleep_until(std::min(SteadyClock::now() + drain, deadline));
      queued = DriverQueue();
    }
    unsent += queued;
    if (unsent > 0 || broken) {
      // What was not sent within the limit is dropped, never sent later.
      port_.clear(QSerialPort::Output);
      port_.clearError();
    }
    const std::size_t sent = unsent >= count ? 0 : count - unsent;
    // Bytes cannot leave faster than the line carries them, whatever the device reports:
    // a device that queues without telling (a pseudo-terminal, some adapters) would
    // otherwise start a reply's time-out long before the request has reached the target.
    // So the port keeps the line's time as a transmitter with a FIFO would: a write ends
    // once its bytes are in the FIFO, and when the FIFO is full it waits until half of it
    // has gone out. The bytes still in it leave within a few byte times.
    if (sent > 0) {
      const auto lineTime = [this](std::size_t bytes) {
        return std::chrono::duration_cast<SteadyClock::duration>(byteTime_ *
                                                                 static_cast<long long>(bytes));
      };
      lineFree_ = std::max(lineFree_, start) + lineTime(sent);
      if (!broken && lineFree_ - SteadyClock::now() > lineTime(kTransmitFifo)) {
        std::this_thread::sleep_until(std::min(lineFree_ - lineTime(kTransmitFifo / 2), deadline));
      }
    }
    return sent;
  }

  bool SetDtr(bool asserted) override {
    const bool done = port_.setDataTerminalReady(asserted);
    port_.clearError();
    return done;
  }

  void Purge(bool transmit, bool receive) override {
    QSerialPort::Directions directions;
    if (transmit) directions |= QSerialPort::Output;
    if (receive) directions |= QSerialPort::Input;
    if (directions) port_.clear(directions);
    port_.clearError();
  }

 private:
  // The system's words for why the port could not be opened.
  std::string SystemReason() const {
    const std::string text = port_.errorString().toStdString();
    if (!text.empty() && text != "Unknown error") return text;
    return port_.error() == QSerialPort::PermissionError ? "permission denied, or in use"
                                                         : "cannot be opened";
  }

  // Reads the port's current settings from the device; false when it cannot.
  bool ReadPortSettings() {
#ifdef Q_OS_WIN
    COMMTIMEOUTS timeouts{};
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    return GetCommTimeouts(port_.handle(), &timeouts) && GetCommState(port_.handle(), &dcb);
#else
    termios settings{};
    return ::tcgetattr(port_.handle(), &settings) == 0;
#endif
  }

  // Bytes that the driver holds but has not sent yet.
  std::size_t DriverQueue() {
#ifdef Q_OS_WIN
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_.handle(), &errors, &status)) return 0;
    return status.cbOutQue;
#else
    int queued = 0;
    if (::ioctl(port_.handle(), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::size_t>(queued);
#endif
  }

#ifdef Q_OS_UNIX
  // Closes the port once its line has hung up.
  class HangUpWatch final : public QObject {
   public:
    explicit HangUpWatch(QSerialPort& port) : port_(port) {}
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() != QEvent::SockAct || !port_.isOpen()) return false;
      pollfd fd{static_cast<int>(port_.handle()), POLLIN, 0};
      int unread = 0;
      // Hung up, and nothing left to read (a line that is gone may not even say so).
      if (::poll(&fd, 1, 0) != 1 || !(fd.revents & POLLHUP) ||
          (::ioctl(fd.fd, FIONREAD, &unread) == 0 && unread > 0)) {
        return false;
      }
      QMetaObject::invokeMethod(
          &port_, [port = &port_] { port->close(); }, Qt::QueuedConnection);
      return true;
    }

   private:
    QSerialPort& port_;
  };
#endif
  QSerialPort port_;
#ifdef Q_OS_UNIX
  HangUpWatch hangUpWatch_{port_};
#endif
  microseconds byteTime_{0};
  SteadyClock::time_point lineFree_{};
};

}  // namespace

namespace {
thread_local std::string tLastOpenError;
}  // namespace

std::unique_ptr<SerialPort> QtSerialPortFactory::Open(const std::string& device) {
  auto port = std::make_unique<QtSerialPort>(device);
  tLastOpenError.clear();
  if (!port->Open(tLastOpenError)) return nullptr;
  return port;
}

std::string QtSerialPortFactory::LastOpenError() const {
  return tLastOpenError;
}

void QtSerialPortFactory::RunOnThreads(const std::vector<std::function<void()>>& jobs,
                                       const std::function<void()>& meanwhile) {
  std::vector<std::unique_ptr<QThread>> threads;
  for (const auto& job : jobs) {
    threads.emplace_back(QThread::create(job));
    threads.back()->start();
  }
  if (meanwhile) meanwhile();
  for (auto& thread : threads)
    thread->wait();
}

}  // namespace otp
