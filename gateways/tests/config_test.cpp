// Configuration reader of the gateways: prefix keys, defaults, serial format.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bridge.h"
#include "gateway.h"

namespace fs = std::filesystem;
using gw::GatewayConfig;
using gw::Program;

namespace {

class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::current_path() / ("gw_config_test." + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string write(const std::string &text) {
        std::string p = (dir_ / "gw.conf").string();
        std::ofstream(p) << text;
        return p;
    }
    fs::path dir_;
};

// One line more in the file, and the terminal set from all lines so far.
void add_line(GatewayConfig &c, termios &t, const std::string &line) {
    gw::apply_config_line(line, c);
    gw::apply_serial_settings(c, t);
}

termios raw_term() {
    termios t{};
    t.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetospeed(&t, B38400);
    cfsetispeed(&t, B38400);
    return t;
}

}  // namespace

TEST(ConfigLine, PortSeparatorIsAnySingleCharacterAndKeysArePrefixes) {
    GatewayConfig c = gw::default_config(Program::textrelay);
    gw::apply_config_line("port=4200", c);
    EXPECT_EQ(c.port, 4200);
    c.port = 1;
    gw::apply_config_line("port 4200", c);
    EXPECT_EQ(c.port, 4200);
    gw::apply_config_line("portnumber=1", c);
    EXPECT_EQ(c.port, 0) << "value starts after one separator: \"umber=1\" has no digits";
    gw::apply_config_line("port", c);
    EXPECT_EQ(c.port, 0) << "a bare key has an empty value";
    gw::apply_config_line(" port=9", c);
    EXPECT_EQ(c.port, 0) << "keys match at the start of the line only";
}

TEST(ConfigLine, DefaultsPerProgram) {
    EXPECT_EQ(gw::default_config(Program::postrelay).port, 4101);
    EXPECT_EQ(gw::default_config(Program::textrelay).port, 4100);
    EXPECT_EQ(gw::default_config(Program::linebridge).port, 0);
    EXPECT_EQ(gw::default_config(Program::linebridge).mode, 0);
    GatewayConfig p = gw::default_config(Program::portnotify);
    EXPECT_EQ(p.port, 0);
    EXPECT_EQ(p.mailport, 0);
    EXPECT_EQ(p.textrelay, 0);
    EXPECT_EQ(p.postrelay, 0);
    EXPECT_EQ(gw::default_config(Program::postrelay).timeout, 0);
}

TEST(ConfigLine, KeysAProgramDoesNotUseChangeNothing) {
    GatewayConfig t = gw::default_config(Program::textrelay);
    gw::apply_config_line("smtp=mail.example", t);
    gw::apply_config_line("address=10.0.0.1", t);
    EXPECT_TRUE(t.smtp.empty());
    EXPECT_TRUE(t.address.empty());

    GatewayConfig p = gw::default_config(Program::portnotify);
    gw::apply_config_line("timeout=5", p);
    gw::apply_config_line("tty=/dev/ttyS0", p);
    EXPECT_EQ(p.timeout, 0) << "portnotify ignores timeout";
    EXPECT_TRUE(p.tty.empty());

    GatewayConfig l = gw::default_config(Program::linebridge);
    gw::apply_config_line("timeout=5", l);
    gw::apply_config_line("smtp=x", l);
    EXPECT_EQ(l.timeout, 0);
    EXPECT_TRUE(l.smtp.empty());
}

TEST(ConfigLine, TextFieldsKeepTheirLimits) {
    GatewayConfig c = gw::default_config(Program::postrelay);
    gw::apply_config_line("smtp=" + std::string(60, 's'), c);
    gw::apply_config_line("auth=" + std::string(300, 'a'), c);
    gw::apply_config_line("sender=" + std::string(50, 'f'), c);
    EXPECT_EQ(c.smtp.size(), 45u);
    EXPECT_EQ(c.auth.size(), 255u);
    EXPECT_EQ(c.sender.size(), 45u);
}

TEST(ConfigLine, NumbersAreReadLikeAtoiWithoutOverflow) {
    GatewayConfig c = gw::default_config(Program::postrelay);
    const std::pair<const char *, int> cases[] = {{"port=  42abc", 42},
                                                  {"port=-7", -7},
                                                  {"port=abc", 0},
                                                  {"port=99999999999999999999", INT_MAX},
                                                  {"port=-99999999999999999999", INT_MIN}};
    for (const auto &[line, port] : cases) {
        gw::apply_config_line(line, c);
        EXPECT_EQ(c.port, port) << line;
    }
}

TEST(SerialFormat, SwitchesLookAtTheFirstCharacterOnly) {
    termios t = raw_term();
    GatewayConfig c = gw::default_config(Program::linebridge);
    add_line(c, t, "rtscts=true");
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    add_line(c, t, "rtscts=false");
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    add_line(c, t, "rtscts=true");
    add_line(c, t, "rtscts=1");
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    add_line(c, t, "xonxoff=t");
    EXPECT_TRUE(t.c_iflag & IXON);
    add_line(c, t, "xonxoff=T");
    EXPECT_FALSE(t.c_iflag & IXON);
}

TEST(SerialFormat, SpeedTableAndFallback) {
    termios t = raw_term();
    GatewayConfig c = gw::default_config(Program::linebridge);
    add_line(c, t, "speed=115200");
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    add_line(c, t, "speed=1000");
    EXPECT_EQ(cfgetospeed(&t), B9600);
    add_line(c, t, "speed=230400");
    EXPECT_EQ(cfgetospeed(&t), B230400);
    add_line(c, t, "speed=50");
    EXPECT_EQ(cfgetospeed(&t), B50);
    add_line(c, t, "speed=921600");
    EXPECT_EQ(cfgetospeed(&t), B921600);
    EXPECT_EQ(cfgetispeed(&t), B921600);
    EXPECT_EQ(gw::speed_constant(0), B0);
    EXPECT_EQ(gw::speed_constant(460800), B460800);
    EXPECT_EQ(gw::speed_constant(500000), B500000);
    EXPECT_EQ(gw::speed_constant(576000), B576000);
    EXPECT_EQ(gw::speed_constant(-1), B9600);
    EXPECT_EQ(gw::speed_constant(1000000), B9600) << "up to 921600";
    testing::internal::CaptureStderr();
    for (long bps : {9600L, 921600L, 0L, 1000000L, -1L}) gw::report_speed(bps);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "unsupported speed 1000000, using 9600\nunsupported speed -1, using 9600\n");
}

TEST(SerialFormat, CharacterFormatInAnyOrder) {
    const char *orders[][3] = {{"databits=7", "parity=e", "stopbits=2"},
                               {"stopbits=2", "databits=7", "parity=even"},
                               {"parity=e", "stopbits=2", "databits=7"}};
    for (auto &order : orders) {
        termios t = raw_term();
        t.c_cflag |= CRTSCTS;
        gw::prepare_tty_settings(t);
        GatewayConfig c = gw::default_config(Program::linebridge);
        for (const char *line : order) add_line(c, t, line);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7)) << order[0];
        EXPECT_TRUE(t.c_cflag & PARENB);
        EXPECT_FALSE(t.c_cflag & PARODD);
        EXPECT_TRUE(t.c_cflag & CSTOPB);
        EXPECT_TRUE(t.c_cflag & CREAD) << "other control flags are kept";
        EXPECT_TRUE(t.c_cflag & CRTSCTS) << "no rtscts line: as the device has it";
    }
}

TEST(SerialFormat, ParityValuesAndDataBitsFallBackToEight) {
    termios t = raw_term();
    GatewayConfig c = gw::default_config(Program::linebridge);
    add_line(c, t, "parity=o");
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
    add_line(c, t, "parity=m");
    add_line(c, t, "parity=s");
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD))
        << "mark/space leave it";
    add_line(c, t, "parity=n");
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD), 0u);
    add_line(c, t, "databits=5");
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    add_line(c, t, "databits=6");
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS6));
    add_line(c, t, "databits=9");
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    add_line(c, t, "stopbits=3");
    EXPECT_FALSE(t.c_cflag & CSTOPB);
}

TEST(SerialFormat, RawModeFromDeviceSettings) {
    termios t = raw_term();
    t.c_iflag = IGNBRK | BRKINT | ICRNL | IXON | IXOFF | INLCR | IGNCR | ISTRIP | PARMRK | IUTF8;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_cflag = CS7 | CSTOPB | CREAD;
    t.c_cc[VMIN] = 5;
    gw::prepare_tty_settings(t);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IUTF8));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cc[VMIN], 5) << "control characters stay";
}

TEST_F(ConfigFile, OneReadingTakesEveryKeyOfTheProgram) {
    std::string p = write("tty=/dev/ttyS1\nport=4300\nmode=1\naddress=127.0.0.1\nspeed=1200\n");
    GatewayConfig c = gw::default_config(Program::linebridge);
    ASSERT_EQ(gw::read_gateway_config(p, c), 0);
    EXPECT_EQ(c.tty, "/dev/ttyS1");
    EXPECT_EQ(c.port, 4300);
    EXPECT_EQ(c.mode, 1);
    EXPECT_EQ(c.address, "127.0.0.1");
    EXPECT_EQ(c.speed, 1200);
    EXPECT_FALSE(c.databits || c.parity || c.stopbits || c.rtscts || c.xonxoff);
}

TEST_F(ConfigFile, PortnotifyClearsMailKeysAndSwitchesOnEachRead) {
    std::string p = write("smtp=mx\nsender=a@b\ntextrelay=1\npostrelay=1\nport=7\ntty=/dev/x\n");
    GatewayConfig c = gw::default_config(Program::portnotify);
    ASSERT_EQ(gw::read_gateway_config(p, c), 0);
    EXPECT_EQ(c.smtp, "mx");
    EXPECT_EQ(c.textrelay, 1);
    EXPECT_EQ(c.postrelay, 1);
    EXPECT_EQ(c.port, 7);
    EXPECT_TRUE(c.tty.empty()) << "portnotify ignores tty";

    write("port=8\n");
    ASSERT_EQ(gw::read_gateway_config(p, c), 0);
    EXPECT_TRUE(c.smtp.empty());
    EXPECT_TRUE(c.sender.empty());
    EXPECT_EQ(c.textrelay, 0);
    EXPECT_EQ(c.postrelay, 0);
    EXPECT_EQ(c.port, 8);
}

TEST_F(ConfigFile, MissingFileKeepsSettings) {
    GatewayConfig c = gw::default_config(Program::postrelay);
    c.smtp = "kept";
    EXPECT_EQ(gw::read_gateway_config((dir_ / "none").string(), c), -1);
    EXPECT_EQ(c.smtp, "kept");
    EXPECT_EQ(c.port, 4101);
    EXPECT_EQ(gw::read_gateway_config("", c), -1);
}

TEST_F(ConfigFile, CrBeforeTheLineEndIsNotPartOfAValue) {
    // Written on another system: lines end in CR LF, the last one in CR.
    const std::string path(250, 'p');  // "tty=" + path + CR is a whole 255-character piece
    std::string p = write("tty=/dev/ttyS1\r\nsmtp=mx\r\nauth=-pass a\rb\r\nsender=a@b\r");
    GatewayConfig c = gw::default_config(Program::postrelay);
    ASSERT_EQ(gw::read_gateway_config(p, c), 0);
    EXPECT_EQ(c.smtp, "mx");
    EXPECT_EQ(c.auth, "-pass a\rb") << "only the CR at the line end goes";
    EXPECT_EQ(c.sender, "a@b");
    GatewayConfig l = gw::default_config(Program::linebridge);
    ASSERT_EQ(gw::read_gateway_config(p, l), 0);
    EXPECT_EQ(l.tty, "/dev/ttyS1");
    write("tty=" + path + "\r\nmode=1\r\n");
    ASSERT_EQ(gw::read_gateway_config(p, l), 0);
    EXPECT_EQ(l.tty, path);
}

TEST_F(ConfigFile, LongLinesAreReadInPiecesOf255) {
    // The piece after the first 255 characters is a line of its own.
    std::string p = write(std::string(255, 'x') + "port=77\ntimeout=3\r\n");
    GatewayConfig c = gw::default_config(Program::textrelay);
    ASSERT_EQ(gw::read_gateway_config(p, c), 0);
    EXPECT_EQ(c.port, 77);
    EXPECT_EQ(c.timeout, 3);
}
