// SPDX-License-Identifier: Apache-2.0
// Defaults, the dialog's number reading, and the settings options of the command line.
#include "transmitter/app/settings.h"

#include <gtest/gtest.h>

#include <QCommandLineParser>

#include "core/format_scan.h"
#include "shell/program_options.h"
#include "transmitter/app/command_line.h"

namespace kelbos {
namespace {

TEST(Settings, DefaultsOfEveryRun) {
    const CommSettings s = init_defaults();
    EXPECT_EQ(s.receiver_name, "localhost");
    EXPECT_EQ(s.kelbo_size, 20000000u);
    EXPECT_EQ(s.delay_ms, 0u);
    EXPECT_EQ(s.msg_size, 32700u);
    EXPECT_EQ(s.sock_buf_size, 65535u);
    EXPECT_EQ(s.transport, TRANSPORT_UDP);
    EXPECT_EQ(s.send_on, NETWORK_ETHERNET);
    EXPECT_EQ(s.receive_on, 0);
    // The default receiver is one of the four offered names.
    EXPECT_NE(std::find(receiver_list.begin(), receiver_list.end(), std::string_view(s.receiver_name)),
              receiver_list.end());
    EXPECT_EQ(kelbo_size_list.front(), 100000u);
    EXPECT_EQ(kelbo_size_list.back(), 80000000u);
}

TEST(Settings, NumberFieldsReadAsTheDialogReadsThem) {
    // White space around the digits is allowed, nothing else.
    for (const auto& [text, value] : {std::pair{"0", 0u}, {"32700", 32700u}, {"  \t42 ", 42u},
                                      {"4294967295", 4294967295u}, {"0004294967295", 4294967295u}})
        EXPECT_EQ(read_whole_number(text), value) << text;
    // Above 32 bits, empty, signed, not whole, or with anything besides the digits.
    for (const char* text : {"4294967296", "99999999999999999999", "", "   ", "abc", "-1", "+1", "x12",
                             "12abc", "7 8", "0.5", "2x", "1e3"})
        EXPECT_FALSE(read_whole_number(text)) << text;
}

TEST(Settings, ProtocolTextsAndHostName) {
    for (const auto& [t, text] :
         {std::pair{1, "UDP"}, {2, "TCP"}, {3, "DNET"}, {4, "OSI"}, {0, "UNKNOWN"}, {9, "UNKNOWN"}})
        EXPECT_STREQ(protocol_text(t), text) << t;
    EXPECT_LE(local_host_name().size(), 39u);
    EXPECT_EQ(cut_receiver_name(std::string(300, 'h')), std::string(254, 'h'));
}

// The settings options of a command line applied to the defaults.
struct Applied {
    bool ok;
    std::string error;
    CommSettings settings;
    Rgb colour;
};
Applied apply(QStringList args) {
    QCommandLineParser parser;
    add_common_options(parser);
    add_transmitter_options(parser);
    args.prepend("kelbostx");
    EXPECT_TRUE(parser.parse(args)) << parser.errorText().toStdString();
    Applied a{false, {}, init_defaults(), DEFAULT_KELBO_COLOUR};
    a.ok = apply_settings_options(parser, a.settings, a.colour, a.error);
    return a;
}

TEST(CommandLine, SettingsOptionsSetEveryField) {
    const Applied a =
        apply({"--receiver", "rx.example", "--transport", "TCP", "--msg-size", "150000", "--delay", "50",
               "--sock-buf", " 1000 ", "--kelbo-size", "100000", "--colour", "#0a80fF"});
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.settings.receiver_name, "rx.example");
    EXPECT_EQ(a.settings.transport, TRANSPORT_TCP);
    EXPECT_EQ(a.settings.msg_size, 150000u);
    EXPECT_EQ(a.settings.delay_ms, 50u);
    EXPECT_EQ(a.settings.sock_buf_size, 1000u);
    EXPECT_EQ(a.settings.kelbo_size, 100000u);
    EXPECT_EQ(a.colour, (Rgb{0x0a, 0x80, 0xff}));
    for (const auto& [word, transport] :
         {std::pair{"decnet", TRANSPORT_DECNET}, {"osi", TRANSPORT_OSI}, {"udp", TRANSPORT_UDP}})
        EXPECT_EQ(apply({"--transport", word}).settings.transport, transport) << word;

    // No option: the defaults stay.
    const Applied none = apply({});
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.settings, init_defaults());
}

TEST(CommandLine, BadValuesGiveTheDialogsMessagesInItsOrder) {
    const std::pair<QStringList, std::string> cases[] = {
        {{"--receiver", ""}, "bad destination name"},
        {{"--kelbo-size", "lots"}, "kelbo size must be a number"},
        {{"--kelbo-size", "7"}, "kelbo size must be at least 8 bits"},
        {{"--kelbo-size", "4294967296"}, "kelbo size must be a number"},
        {{"--delay", "-5"}, "delay must be a number"},
        {{"--msg-size", ""}, "message size must be a number"},
        {{"--sock-buf", "big"}, "socket buffer size must be a number"},
        {{"--transport", "sctp"}, "transport must be udp, tcp, decnet or osi"},
        {{"--colour", "#80000"}, "colour must be #RRGGBB"},
        {{"--colour", "800000"}, "colour must be #RRGGBB"},
        {{"--colour", "#80000g"}, "colour must be #RRGGBB"},
        // The first bad field in the dialog's order is the one reported.
        {{"--sock-buf", "x", "--delay", "y", "--kelbo-size", "3"}, "kelbo size must be at least 8 bits"},
        {{"--sock-buf", "x", "--msg-size", "y"}, "message size must be a number"},
    };
    for (const auto& [args, message] : cases) {
        const Applied a = apply(args);
        EXPECT_FALSE(a.ok) << args.join(' ').toStdString();
        EXPECT_EQ(a.error, message) << args.join(' ').toStdString();
        EXPECT_EQ(a.settings, init_defaults()) << "nothing is applied after a bad value";
    }
    EXPECT_TRUE(apply({"--kelbo-size", "8"}).ok);
}

}  // namespace
}  // namespace kelbos
