#include <gtest/gtest.h>

#include <string>

#include "comm/comm.h"
#include "comm/conn_string.h"

namespace {

comm_conn_params parse_ok(const std::string &s) {
    comm_conn_params p;
    EXPECT_EQ(comm_parse_conn_string(s.c_str(), &p), COMM_PARSE_OK) << s;
    return p;
}

comm_parse_result parse(const std::string &s) {
    comm_conn_params p;
    return comm_parse_conn_string(s.c_str(), &p);
}

void expect_line(const comm_serial_line &l, int baud, int databits, int stopbits, int parity,
                 int flow) {
    EXPECT_EQ(l.baud, baud);
    EXPECT_EQ(l.databits, databits);
    EXPECT_EQ(l.stopbits, stopbits);
    EXPECT_EQ(l.parity, parity);
    EXPECT_EQ(l.flow, flow);
}

TEST(ConnStringBuilders, WorkedExamplesParseBackToTheirOpener) {
    char buf[COMM_CONN_STRING_SIZE];

    ASSERT_EQ(comm_make_conn_string_net(buf, "10.0.0.5", 4444, 1000), 0);
    EXPECT_STREQ(buf, "NETW/10.0.0.5/4444/1000");
    comm_conn_params p = parse_ok(buf);
    EXPECT_EQ(p.kind, COMM_KIND_NETW);
    EXPECT_STREQ(p.device, "10.0.0.5");
    EXPECT_EQ(p.port, 4444);
    EXPECT_EQ(p.timeout_ms, 1000);

    ASSERT_EQ(comm_make_conn_string_serial(buf, 3, 115200, 8, 1, 0, 0), 0);
    EXPECT_STREQ(buf, "USRT/COM3/115200/8/1/0/0");
    p = parse_ok(buf);
    EXPECT_EQ(p.kind, COMM_KIND_USRT);
    EXPECT_STREQ(p.device, "/dev/ttyS2");  // COMn is the n-th port
    expect_line(p.line, 115200, 8, 1, 0, 0);

    ASSERT_EQ(comm_make_conn_string_serial_path(buf, "/dev/ttyS0", 115200, 8, 1, 0, 0), 0);
    EXPECT_STREQ(buf, "USRT/(/dev/ttyS0)/115200/8/1/0/0");
    p = parse_ok(buf);
    EXPECT_EQ(p.kind, COMM_KIND_USRT);
    EXPECT_STREQ(p.device, "/dev/ttyS0");
    expect_line(p.line, 115200, 8, 1, 0, 0);

    ASSERT_EQ(comm_make_conn_string_usb(buf, "USBU", "ABC123", 0x1781, 0x0c45), 0);
    EXPECT_STREQ(buf, "USBU/ABC123/1781/0c45");
    p = parse_ok(buf);
    EXPECT_EQ(p.kind, COMM_KIND_USBU);
    EXPECT_STREQ(p.device, "ABC123");
    EXPECT_EQ(p.vid, 0x1781);
    EXPECT_EQ(p.pid, 0x0c45);

    ASSERT_EQ(comm_make_conn_string_ftdi_serial(buf, "4A1B2C", 38400, 8, 1, 0, 0), 0);
    EXPECT_STREQ(buf, "USBS/4A1B2C/38400/8/1/0/0");
    p = parse_ok(buf);
    EXPECT_EQ(p.kind, COMM_KIND_USBS);
    EXPECT_STREQ(p.device, "4A1B2C");
    expect_line(p.line, 38400, 8, 1, 0, 0);

    ASSERT_EQ(comm_make_conn_string_bt(buf, "00:11:22:33:44:55", "", 16769104, 1, "915312", 60000),
              0);
    EXPECT_STREQ(buf, "BLTH/00:11:22:33:44:55/1/9153/60000/16769104/Unknown");
    p = parse_ok(buf);
    EXPECT_EQ(p.kind, COMM_KIND_BLTH);
    EXPECT_STREQ(p.device, "00:11:22:33:44:55");
    EXPECT_EQ(p.channel, 1);
    EXPECT_STREQ(p.pin, "9153");
    EXPECT_EQ(p.timeout_ms, 60000);

    ASSERT_EQ(comm_make_conn_string_usb(buf, "USBF", "FT1", 0x1781, 0x0c44), 0);
    EXPECT_STREQ(buf, "USBF/FT1/1781/0c44");
    EXPECT_EQ(parse_ok(buf).kind, COMM_KIND_USBF);
}

TEST(ConnStringBuilders, RefuseWhatCannotBeBuiltOrOpened) {
    char buf[COMM_CONN_STRING_SIZE];
    EXPECT_EQ(comm_make_conn_string_usb(buf, "USBX", "A", 1, 1), -1);
    EXPECT_EQ(comm_make_conn_string_usb(nullptr, "USBU", "A", 1, 1), -1);
    EXPECT_EQ(comm_make_conn_string_bt(buf, "addr", nullptr, 0, 1, "1", 1), -1);
    EXPECT_EQ(comm_make_conn_string_ftdi_serial(buf, std::string(130, 'x').c_str(), 1, 8, 1, 0, 0),
              -1);

    EXPECT_EQ(comm_make_conn_string_net(buf, std::string(47, '1').c_str(), 1, 1), -1);
    std::string host46(46, '1');
    ASSERT_EQ(comm_make_conn_string_net(buf, host46.c_str(), 1, 1), 0);
    EXPECT_EQ(parse_ok(buf).kind, COMM_KIND_NETW);

    // A path the parser would refuse is not built either.
    EXPECT_EQ(comm_make_conn_string_serial_path(buf, std::string(64, 'p').c_str(), 1, 8, 1, 0, 0),
              -1);
    ASSERT_EQ(comm_make_conn_string_serial_path(buf, std::string(63, 'p').c_str(), 1, 8, 1, 0, 0),
              0);
    EXPECT_EQ(parse_ok(buf).kind, COMM_KIND_USRT);

    // A port is never wrapped into another one, and port 0 names none.
    EXPECT_EQ(comm_make_conn_string_serial(buf, 65536 + 7, 9600, 8, 1, 0, 0), -1);
    EXPECT_EQ(comm_make_conn_string_serial(buf, 0, 9600, 8, 1, 0, 0), -1);
    EXPECT_EQ(comm_make_conn_string_net(buf, "10.0.0.5", 0, 1000), -1);
    EXPECT_EQ(comm_make_conn_string_net(buf, "10.0.0.5", 65536, 1000), -1);
    // Empty fields, and fields that would end early when parsed, are not built.
    EXPECT_EQ(comm_make_conn_string_usb(buf, "USBF", "", 1, 1), -1);
    EXPECT_EQ(comm_make_conn_string_usb(buf, "USBU", "A/B", 1, 1), -1);
    EXPECT_EQ(comm_make_conn_string_ftdi_serial(buf, "", 38400, 8, 1, 0, 0), -1);
    EXPECT_EQ(comm_make_conn_string_serial_path(buf, "", 1, 8, 1, 0, 0), -1);
    EXPECT_EQ(comm_make_conn_string_serial_path(buf, "/dev/a)b", 1, 8, 1, 0, 0), -1);
    EXPECT_EQ(comm_make_conn_string_net(buf, "", 4444, 1000), -1);
    EXPECT_EQ(comm_make_conn_string_bt(buf, "", "name", 0, 1, "1", 1), -1);
}

TEST(ConnStringParse, MalformedStringsAreRefused) {
    EXPECT_EQ(parse("USRT/(/dev/x/115200/8/1/0/0"), COMM_PARSE_UNKNOWN);  // unclosed bracket
    EXPECT_EQ(parse("USRT/COM3/115200/8/1/0"), COMM_PARSE_UNKNOWN);       // four numbers
    EXPECT_EQ(parse("USRT/COM0/115200/8/1/0/0"), COMM_PARSE_UNKNOWN);     // no COM0
    EXPECT_EQ(parse("USRT/ttyS0/115200/8/1/0/0"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USRT/(" + std::string(64, 'p') + ")/1/8/1/0/0"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USBU/ABC/0000/0c45"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USBU/ABC/1781/0"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USBU/ABC/1781"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USBU/" + std::string(65, 'S') + "/1781/0c45"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USBS/4A1B2C/38400/8/1/0"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USBS/4A1B2C/38400/8/x/0/0"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("BLTH/" + std::string(21, 'A') + "/1/9153/60000/0/Unknown"),
              COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("BLTH/AA/1/9153"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("XXXX/1/2/3"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse(""), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("NETW"), COMM_PARSE_BAD_HOST);
    EXPECT_EQ(parse("NETW/" + std::string(47, '1') + "/4444/1000"), COMM_PARSE_BAD_HOST);
    EXPECT_EQ(parse("NETW/10.0.0.5/4444"), COMM_PARSE_SILENT);
    EXPECT_EQ(parse("NETW/10.0.0.5/70000/1000"), COMM_PARSE_SILENT);
    EXPECT_EQ(parse("NETW/10.0.0.5/-1/1000"), COMM_PARSE_SILENT);
    EXPECT_EQ(parse("NETW/10.0.0.5/0/1000"), COMM_PARSE_SILENT);
    EXPECT_EQ(parse("USBF//1781/0c44"), COMM_PARSE_UNKNOWN);  // empty device fields
    EXPECT_EQ(parse("USBS//38400/8/1/0/0"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USBU//1781/0c45"), COMM_PARSE_UNKNOWN);
    EXPECT_EQ(parse("USRT/()/115200/8/1/0/0"), COMM_PARSE_UNKNOWN);
}

TEST(ConnStringParse, InputIsCutTo127Characters) {
    std::string name(200, 'n');
    std::string s = "BLTH/AA/1/9153/60000/0/" + name;
    comm_conn_params p = parse_ok(s);
    EXPECT_EQ(p.timeout_ms, 60000);
    // The time-out that would start at character 128 is cut off.
    std::string padded = "NETW/1.2.3.4/4444/" + std::string(109, '0') + "1000";
    EXPECT_EQ(parse(padded), COMM_PARSE_OK);
    EXPECT_EQ(parse_ok(padded).timeout_ms, 0);
}

TEST(ConnStringParse, BracketedPathMayHoldSlashes) {
    comm_conn_params p = parse_ok("USRT/(/dev/serial/by-id/x)/9600/7/2/1/1");
    EXPECT_STREQ(p.device, "/dev/serial/by-id/x");
    expect_line(p.line, 9600, 7, 2, 1, 1);
}

TEST(ConnStringHelpers, DeviceIdOfEachKind) {
    char out[COMM_CONN_STRING_SIZE];
    EXPECT_STREQ(comm_get_devid_string("BLTH/00:11:22/1/9153/60000/0/Unknown", out), "00:11:22");
    EXPECT_STREQ(comm_get_devid_string("BLTH/00:11:22/1/9153/60000/0/M30-C123", out), "M30-C123");
    EXPECT_STREQ(comm_get_devid_string("USRT/(/dev/ttyUSB0)/1/8/1/0/0", out), "/dev/ttyUSB0");
    EXPECT_STREQ(comm_get_devid_string("NETW/10.0.0.5/4444/1000", out), "10.0.0.5");
    EXPECT_EQ(comm_get_devid_string("nothing", out), nullptr);
    EXPECT_STREQ(out, "");
    std::string huge = "NETW/" + std::string(200, 'h') + "/1/1";
    EXPECT_EQ(comm_get_devid_string(huge.c_str(), out), nullptr);
    EXPECT_STREQ(out, "");
}

TEST(ConnStringHelpers, BluetoothFieldsRewrittenInPlace) {
    char s[COMM_CONN_STRING_SIZE] = "BLTH/00:11:22/1/9153/60000/16769104/My/Device";
    ASSERT_EQ(comm_set_conn_string_bt(s, 3, "123456", 5000), 0);
    EXPECT_STREQ(s, "BLTH/00:11:22/3/1234/5000/16769104/My/Device");
    char short_one[COMM_CONN_STRING_SIZE] = "BLTH/00:11:22/1/9153";
    EXPECT_EQ(comm_set_conn_string_bt(short_one, 3, "1", 1), -1);
    EXPECT_STREQ(short_one, "BLTH/00:11:22/1/9153");

    char version[16];
    comm_get_version(version, sizeof version);
    EXPECT_STREQ(version, "0.8.2");
}

TEST(ConnStringOpen, MalformedBluetoothAddressIsRefusedAtOpenWithoutASlot) {
    comm_init();
    int id = 0;
    auto cb = [](int, unsigned, char *, int, void *) { return 0; };
    EXPECT_EQ(comm_connect(&id, "BLTH/AA/1/9153/60000/0/Unknown", cb, 4096, 200, nullptr), -1);
    int it = 0, slot_id = 0, used = 0;
    comm_data_cntr_init(&it);
    while (comm_get_data(&it, &slot_id, nullptr))
        if (slot_id) ++used;
    EXPECT_EQ(used, 0);
    comm_shut();
}

}  // namespace
