// The serial channel over a real pseudo-terminal pair (socat): the test plays the PBX on one end,
// or velk-pbx-sim does.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSerialPort>

#include "core/link/link_fakes.h"
#include "core/record/connection_log.h"
#include "platform/qt_timer_host.h"
#include "platform/serial_channel.h"
#include "record_generator.h"
#include "support/pty_pair.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using test::MakeFrame;
using test::Text52;

// A serial port whose transmit queue the test sets.
class QueuedSerialPort : public SerialPort {
public:
    using SerialPort::SerialPort;
    size_t queued = 0;

protected:
    size_t TransmitQueueLength() const override { return queued; }
};

class SerialLinkTest : public ::testing::Test {
protected:
    SerialLinkTest()
        : pty_(dir_.Path()),
          timers_([this](int id) { prot_.SMDA_Timer_Expired(id); }),
          log_(dir_ / "VELK.LOG", settings_, clock_, counters_),
          prot_(settings_, counters_, timers_, clock_, prompt_, observer_, dispatcher_, log_),
          port_(prot_, observer_, settings_, prompt_, [this] {
              ++vanished_;
              prot_.OnPeerClosed();
          }) {
        settings_.IP_Used = 0;
        settings_.COM_Port_baud_rate_index = 3;  // 9600
        settings_.RequestDelayAfterNormalData = 50;
        settings_.Serial_Ports[0] = pty_.Velk();
        prot_.SetChannels(nullptr, &port_);
    }
    ~SerialLinkTest() override {
        sim_.kill();
        sim_.waitForFinished();
    }
    void SetUp() override { ASSERT_TRUE(pty_.Ok()) << "socat could not make a pty pair"; }

    // The PBX's end of the line.
    void OpenPbx() {
        pbx_.setPortName(QString::fromStdString(pty_.Pbx()));
        ASSERT_TRUE(pbx_.open(QIODevice::ReadWrite));
    }
    void PbxWrite(const std::string& bytes) {
        pbx_.write(bytes.data(), static_cast<qint64>(bytes.size()));
        pbx_.flush();
    }
    // Runs the event loop until the PBX has read n bytes from the line (or the time is up).
    std::string PbxRead(size_t n, int ms = 5000) {
        QElapsedTimer t;
        t.start();
        while (received_.size() < n && t.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            received_ += pbx_.readAll().toStdString();
        }
        const std::string out = received_.substr(0, std::min(n, received_.size()));
        received_.erase(0, out.size());
        return out;
    }
    template <typename Condition>
    void RunUntil(Condition done, int ms = 5000) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    void Settle(int ms) {
        RunUntil([] { return false; }, ms);
    }

    test::TempDir dir_;
    test::PtyPair pty_;
    AppSettings settings_;
    StatisticCounters counters_;
    SystemClock clock_;
    test::ScriptedPrompt prompt_;
    test::RecordingObserver observer_;
    test::RecordingDispatcher dispatcher_;
    QtTimerHost timers_;
    ConnectionLog log_;
    cs_smda_prot prot_;
    SerialPort port_;
    QSerialPort pbx_;
    std::string received_;
    QProcess sim_;
    int vanished_ = 0;
};

TEST_F(SerialLinkTest, PortOpensWithTheRateOfItsIndex) {
    const std::pair<int, qint32> cases[] = {
        {0, 1200}, {3, 9600}, {6, 57600}, {7, 115200}, {12, 115200}};
    for (auto [index, rate] : cases) {
        settings_.COM_Port_baud_rate_index = index;
        ASSERT_TRUE(prot_.SMDA_Connect()) << index;
        EXPECT_EQ(port_.Baud(), rate) << index;
        prot_.Link_Ok = 0;
        ASSERT_TRUE(prot_.SMDA_Disconnect());
        EXPECT_FALSE(port_.IsOpen());
    }
    // The line as the driver has it: 8 data bits, no parity, one stop bit, no flow control.
    settings_.COM_Port_baud_rate_index = 7;
    ASSERT_TRUE(prot_.SMDA_Connect());
    termios t{};
    const int fd = ::open(pty_.Velk().c_str(), O_RDONLY | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(SerialLinkTest, DeviceThatDoesNotExistCannotBeOpened) {
    settings_.Serial_Ports[1] = (dir_ / "no-such-tty").string();
    settings_.COM_Port_number_index = 1;
    EXPECT_FALSE(prot_.SMDA_Connect());
    // The message, then the device and the system's reason.
    const std::string reason = settings_.Serial_Ports[1] + ": No such file or directory";
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"COM2 can not be open!\n" + reason});
    EXPECT_EQ(prot_.ConStat, 0);
    const std::string log = test::ReadFile(dir_ / "VELK.LOG");
    EXPECT_NE(log.find("Connection Fault   COM2 9600: " + reason + "\r\n"), std::string::npos)
        << log;
}

TEST_F(SerialLinkTest, TransmitQueueBoundary) {
    ASSERT_TRUE(prot_.SMDA_Connect());
    OpenPbx();
    PbxRead(1);  // the first ENQ
    prot_.Link_Ok = 0;
    ASSERT_TRUE(prot_.SMDA_Disconnect());
    ASSERT_TRUE(port_.Open("COM1", 9600));
    EXPECT_EQ(port_.Write(nullptr, 0), 0u);
    const std::string block(2047, 'a');
    EXPECT_EQ(port_.Write(reinterpret_cast<const uint8_t*>(block.data()), block.size()), 2047u);
    EXPECT_EQ(PbxRead(2047), block);
    const std::string tooMuch(2048, 'b');
    EXPECT_EQ(port_.Write(reinterpret_cast<const uint8_t*>(tooMuch.data()), tooMuch.size()), 0u);
    EXPECT_EQ(prompt_.Texts(),
              std::vector<std::string>{"Impossible to locate the variable in Out_Buffer!"});
    EXPECT_EQ(PbxRead(1, 300), "");  // nothing went out

    // Bytes still waiting to be sent count too. The port is opened exclusively: one at a time.
    QueuedSerialPort queued(prot_, observer_, settings_, prompt_, nullptr);
    EXPECT_FALSE(queued.Open("COM1", 9600));
    port_.Close();
    QueuedSerialPort queued2(prot_, observer_, settings_, prompt_, nullptr);
    ASSERT_TRUE(queued2.Open("COM1", 9600));
    queued2.queued = 2046;
    EXPECT_TRUE(queued2.Write(ENQ));  // 2047
    queued2.queued = 2047;
    EXPECT_FALSE(queued2.Write(ENQ));  // 2048
    EXPECT_EQ(prompt_.Texts().size(), 2u);
}

TEST_F(SerialLinkTest, FrameArrivingByteByByteAndFrameArrivingAtOnce) {
    ASSERT_TRUE(prot_.SMDA_Connect());
    OpenPbx();
    ASSERT_EQ(PbxRead(1), std::string(1, ENQ));
    const std::string a = MakeFrame(Text52(80, '1'));
    for (char c : a) {
        PbxWrite(std::string(1, c));
        Settle(2);
    }
    ASSERT_EQ(PbxRead(1), std::string(1, ACK));
    PbxWrite("\x04");
    RunUntil([this] { return dispatcher_.frames.size() == 1; });
    ASSERT_EQ(dispatcher_.frames.size(), 1u);
    EXPECT_EQ(dispatcher_.frames[0], a.substr(0, a.size() - 1));

    ASSERT_EQ(PbxRead(1), std::string(1, ENQ));  // 50 ms later
    const std::string b = MakeFrame(Text52(900, '2'));
    PbxWrite(b);
    ASSERT_EQ(PbxRead(1), std::string(1, ACK));
    PbxWrite("\x04");
    RunUntil([this] { return dispatcher_.frames.size() == 2; });
    ASSERT_EQ(dispatcher_.frames.size(), 2u);
    EXPECT_EQ(dispatcher_.frames[1], b.substr(0, b.size() - 1));
    EXPECT_EQ(counters_.Total(EV_BAD_LENGTH), 0);
}

TEST_F(SerialLinkTest, DisconnectWhileA500ByteBodyIsAwaited) {
    ASSERT_TRUE(prot_.SMDA_Connect());
    OpenPbx();
    ASSERT_EQ(PbxRead(1), std::string(1, ENQ));
    const std::string frame = MakeFrame(Text52(497));  // L = 500
    ASSERT_EQ(frame.substr(1, 3), "1F4");
    PbxWrite(frame.substr(0, 204));
    RunUntil([this] { return prot_.Bytes_To_Read == 500; });
    ASSERT_EQ(prot_.State, DATA_START_RCV);
    prot_.Link_Ok = 0;
    ASSERT_TRUE(prot_.SMDA_Disconnect());
    EXPECT_FALSE(port_.IsOpen());
    PbxWrite(frame.substr(204));
    Settle(200);
    EXPECT_TRUE(dispatcher_.frames.empty());
    EXPECT_EQ(counters_.Total(EV_NORMAL_DATA), 0);
    EXPECT_EQ(counters_.Total(EV_BAD_BCC), 0);
}

TEST_F(SerialLinkTest, LineTakenAwayUnderTheProgramEndsTheConnection) {
    ASSERT_TRUE(prot_.SMDA_Connect());
    OpenPbx();
    ASSERT_EQ(PbxRead(1), std::string(1, ENQ));
    pbx_.close();
    pty_.Close();  // the adapter is unplugged
    RunUntil([this] { return vanished_ > 0; });
    EXPECT_EQ(vanished_, 1);
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_NE(test::ReadFile(dir_ / "VELK.LOG").find("Disconnected       COM1 9600\r\n"),
              std::string::npos);
    Settle(300);  // nothing keeps polling a line that is gone
    EXPECT_EQ(vanished_, 1);
    EXPECT_FALSE(timers_.IsRunning(DATA_WAIT_TIMER));
}

std::vector<std::string> Expected(size_t n, uint32_t seed) {
    sim::RecordGenerator gen(seed);
    std::vector<std::string> frames;
    for (size_t i = 0; i < n; ++i) {
        const std::string f = sim::Frame(gen.NextCallRecord());
        frames.push_back(f.substr(0, f.size() - 1));
    }
    return frames;
}

TEST_F(SerialLinkTest, SimulatorOnTheLineWithWrongBlockChecksAndDuplicates) {
    constexpr size_t kRecords = 15;
    settings_.COM_Port_baud_rate_index = 7;
    sim_.setProgram(QStringLiteral(VELK_PBX_SIM));
    sim_.setArguments({"--serial", QString::fromStdString(pty_.Pbx()), "--baud", "115200",
                       "--count", QString::number(kRecords), "--rate", "0", "--traffic-every", "0",
                       "--seed", "11", "--bad-bcc-every", "4", "--duplicate-every", "5",
                       "--split"});
    sim_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim_.start();
    ASSERT_TRUE(sim_.waitForStarted());
    ASSERT_TRUE(sim_.waitForReadyRead(10000));  // "serial on ..."
    ASSERT_TRUE(prot_.SMDA_Connect());
    RunUntil([this] { return dispatcher_.frames.size() >= kRecords; }, 60000);
    Settle(300);
    EXPECT_EQ(dispatcher_.frames, Expected(kRecords, 11));
    EXPECT_EQ(counters_.Total(EV_BAD_BCC), 3);
    EXPECT_EQ(counters_.Total(EV_DUPLICATE), 3);
    EXPECT_TRUE(prompt_.shown.empty());
}

}  // namespace
}  // namespace velk
