#include "config/alert_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/secret.h"
#include "scratch.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hv {
namespace {

std::string reveal(const std::string& text, int* result = nullptr) {
    char out[300];
    int r = reveal_secret(text.c_str(), out, sizeof out);
    if (result != nullptr)
        *result = r;
    return out;
}

std::string scramble(const std::string& secret) {
    ScrambledText text;
    scramble_secret(secret, text);
    return std::string(text.view());
}

TEST(RevealSecret, ScrambledAndPlainTexts) {
    struct Case {
        std::string text;
        int result;
        std::string secret;
    };
    const std::vector<Case> cases = {
        {"abc", 1, "abc"},
        {"encry0A0908", 1, "abc"},
        {"encry0a0908", 1, "abc"},  // lower-case digits
        {"encry7E", 1, "~"},
        {"encry", 1, ""},
        {"ENCRY0A0908", 1, "ENCRY0A0908"},  // the prefix is case-sensitive
        {"encry0A090", 0, ""},              // odd digit count
        {"encry0G", 0, ""},                 // not a digit
        {"encryption", 0, ""},
        {"encry" + std::string(512, '0'), 1, std::string(256, 'k')},
        {"encry" + std::string(514, '0'), 0, ""},  // a 257th pair
    };
    for (const Case& c : cases) {
        int result = -1;
        EXPECT_EQ(reveal(c.text, &result), c.secret) << c.text;
        EXPECT_EQ(result, c.result) << c.text;
    }
}

TEST(RevealSecret, CutsToTheOutputAndRejectsNulls) {
    char out[4] = "xyz";
    EXPECT_EQ(reveal_secret("encry0A09080F", out, sizeof out), 1);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(reveal_secret("abcdef", out, sizeof out), 1);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(reveal_secret(nullptr, out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(reveal_secret("abc", nullptr, 4), 0);
}

TEST(ScrambleSecret, RoundTrips) {
    const std::string all_bytes = [] {
        std::string s;
        for (int b = 1; b < 256; ++b)
            if (b != 0x15)  // scrambles to '~', which reads back as '~'
                s += static_cast<char>(b);
        return s;
    }();
    for (const std::string& secret : {std::string("p@ss~word"), std::string(255, 'T'), all_bytes}) {
        std::string text = scramble(secret);
        EXPECT_EQ(text.size(), 5 + 2 * secret.size());
        EXPECT_EQ(text.find_first_of("abcdef", 5), std::string::npos);
        EXPECT_EQ(reveal(text), secret);
    }
    EXPECT_EQ(scramble("abc"), "encry0A0908");
    EXPECT_EQ(scramble("~"), "encry7E");
    EXPECT_EQ(scramble(std::string(300, 'T')).size(), 5u + 510u);
}

// The alert file in a private directory, loaded as the program loads it.
struct AlertFile {
    test::ScratchDir dir;
    std::string path = dir.path("hostvigil_email.txt");
    std::unique_ptr<AlertSettings> settings = std::make_unique<AlertSettings>();

    void write(const std::string& text) { dir.write("hostvigil_email.txt", text); }
    std::string read() const { return dir.read("hostvigil_email.txt"); }
    /// Loads the file and scrambles its plain secrets, as a start of the program does.
    std::string load() {
        testing::internal::CaptureStdout();
        load_alert_config(*settings, path.c_str());
        conceal_alert_secrets(*settings, path.c_str());
        return testing::internal::GetCapturedStdout();
    }
};

TEST(LoadAlertConfig, AllKeysAndFlags) {
    AlertFile f;
    f.write(
        "server : \"smtps://127.0.0.1:465\"\n"
        "email : \"me@example.com\"\n"
        "password : \"pw\"\n"
        "from : \"monitor@example.com\"\n"
        "to : \"a@example.com, b@example.com\"\n"
        "iamalive : \"hb@example.com\"\n"
        "iamalive : \"no-at-sign\"\n"
        "token : \"123:abc\"\n"
        "chat_id : \"-100\"\n"
        "teams_webhook : \"https://127.0.0.1/hook\"\n"
        "*server : \"disabled\"\n"
        "unknown : \"x\"\n");
    EXPECT_EQ(f.load(), "");
    const AlertSettings& s = *f.settings;
    EXPECT_EQ(s.server.view(), "smtps://127.0.0.1:465");
    EXPECT_EQ(s.email.view(), "me@example.com");
    EXPECT_EQ(s.password.view(), "pw");
    EXPECT_EQ(s.from.view(), "monitor@example.com");
    EXPECT_EQ(s.to.view(), "a@example.com, b@example.com");
    EXPECT_EQ(s.iamalive.view(), "no-at-sign");
    EXPECT_EQ(s.iamalive_valid, 1);  // an earlier value held an '@'
    EXPECT_EQ(s.token.view(), "123:abc");
    EXPECT_EQ(s.chat_id.view(), "-100");
    EXPECT_EQ(s.teams_webhook.view(), "https://127.0.0.1/hook");
    EXPECT_EQ(s.email_enabled, 1);
    EXPECT_EQ(s.telegram_enabled, 1);
    EXPECT_EQ(s.teams_enabled, 1);
}

TEST(LoadAlertConfig, ChannelFlagsNeedEveryPart) {
    AlertFile f;
    f.write(
        "server : \"s\"\nemail : \"e\"\nto : \"t\"\npassword : \"encry\"\ntoken : \"tok\"\n"
        "iamalive : \"nobody\"\nteams_webhook : \"\"\n");
    f.load();
    EXPECT_EQ(f.settings->password.view(), "");
    EXPECT_EQ(f.settings->email_enabled, 0);
    EXPECT_EQ(f.settings->telegram_enabled, 0);
    EXPECT_EQ(f.settings->teams_enabled, 0);
    EXPECT_EQ(f.settings->iamalive_valid, 0);
    // The token is concealed even though Telegram stays off; the empty password is not.
    EXPECT_NE(f.read().find("token : \"" + scramble("tok") + "\"\n"), std::string::npos);
    EXPECT_NE(f.read().find("password : \"encry\"\n"), std::string::npos);
}

TEST(LoadAlertConfig, ByteOrderMarkBeforeTheFirstKey) {
    AlertFile f;
    const std::string bom = "\xEF\xBB\xBF";
    f.write(bom + "password : \"pw\"\r\nserver : \"s\"\r\nemail : \"e\"\r\nto : \"t\"\r\n");
    EXPECT_EQ(f.load(), "");
    EXPECT_EQ(f.settings->password.view(), "pw");
    EXPECT_EQ(f.settings->email_enabled, 1);
    EXPECT_EQ(f.read(), bom + "password : \"" + scramble("pw") +
                            "\"\r\nserver : \"s\"\r\nemail : \"e\"\r\nto : \"t\"\r\n");
}

TEST(LoadAlertConfig, Utf16FileIsRefusedAndLeftAsItIs) {
    for (const std::string mark : {"\xFF\xFE", "\xFE\xFF"}) {
        AlertFile f;
        std::string bytes = mark + std::string("p\0w\0:\0\"\0x\0\"\0\n\0", 14);
        f.write(bytes);
        f.settings->email_enabled = 1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(load_alert_config(*f.settings, f.path.c_str()), AlertLoadResult::utf16_text);
        conceal_alert_secrets(*f.settings, f.path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  f.path + " is UTF-16 text; save it as UTF-8\n");
        EXPECT_EQ(f.settings->email_enabled, 0);
        EXPECT_EQ(f.read(), bytes);
    }
}

TEST(LoadAlertConfig, MissingFileLeavesEverythingOff) {
    AlertFile f;
    f.settings->email_enabled = 1;
    f.settings->server.assign("stale");
    EXPECT_EQ(f.load(), f.path + " is not existed. It is unable to send email alerts\n");
    EXPECT_EQ(f.settings->email_enabled, 0);
    EXPECT_EQ(f.settings->server.view(), "");
    EXPECT_FALSE(std::filesystem::exists(f.path));
}

TEST(LoadAlertConfig, PlainSecretsAreScrambledOnceAndReloadTheSame) {
    AlertFile f;
    const std::string original =
        "# secrets\r\n"
        "*password : \"disabled-plain\"\r\n"
        "  password = \"abc\"   # first\r\n"
        "password : \"second\"\r\n"
        "token : \"1~2\"\n"
        "chat_id : \"7\"";
    f.write(original);
    f.load();
    EXPECT_EQ(f.settings->password.view(), "second");  // the last line wins in memory
    EXPECT_EQ(f.settings->token.view(), "1~2");
    const std::string once = f.read();
    const std::string want =
        "# secrets\r\n"
        "*password : \"disabled-plain\"\r\n"
        "password : \"" +
        scramble("second") +
        "\"\r\n"
        "password : \"second\"\r\n"
        "token : \"encry5A7E59\"\n"
        "chat_id : \"7\"";
    EXPECT_EQ(once, want);

    // The second password line is still plain, so it stays the secret; the file is stable.
    f.load();
    EXPECT_EQ(f.settings->password.view(), "second");
    EXPECT_EQ(f.settings->token.view(), "1~2");
    EXPECT_EQ(f.read(), once);
}

TEST(LoadAlertConfig, MalformedScrambledValuesAreUsedAsWritten) {
    AlertFile f;
    f.write("password : \"encry0A0\"\ntoken : \"encryZZ\"\n");
    f.load();
    EXPECT_EQ(f.settings->password.view(), "encry0A0");
    EXPECT_EQ(f.settings->token.view(), "encryZZ");
    f.load();
    EXPECT_EQ(f.settings->password.view(), "encry0A0");
    EXPECT_EQ(f.settings->token.view(), "encryZZ");
    EXPECT_EQ(f.read(), "password : \"" + scramble("encry0A0") + "\"\ntoken : \"" +
                            scramble("encryZZ") + "\"\n");
}

TEST(LoadAlertConfig, FileWithNothingPlainIsNotRewritten) {
    namespace fs = std::filesystem;
    AlertFile f;
    // Lower-case digits and an '=' separator are still scrambled text: left as written.
    const std::string text = "password = \"encry0a0908\"  # kept\ntoken : \"encry5A7E59\"\n";
    f.write(text);
    fs::path moved = f.dir.dir() / "witness";
    fs::create_hard_link(f.path, moved);  // a rewrite would give the name a new file
    f.load();
    EXPECT_EQ(f.settings->password.view(), "abc");
    EXPECT_EQ(f.settings->token.view(), "1~2");
    EXPECT_EQ(f.read(), text);
    EXPECT_TRUE(fs::equivalent(f.path, moved));

    // Loading alone never writes, even with plain secrets.
    f.write("password : \"plain\"\n");
    load_alert_config(*f.settings, f.path.c_str());
    EXPECT_EQ(f.read(), "password : \"plain\"\n");
    EXPECT_EQ(f.settings->conceal_password, 1);
}

TEST(LoadAlertConfig, LongestTokenSurvivesTheRoundTrip) {
    AlertFile f;
    const std::string token(255, 'Q');
    f.write("token : \"" + token + "\"\n");
    f.load();
    EXPECT_EQ(f.read(), "token : \"" + scramble(token) + "\"\n");
    EXPECT_EQ(scramble(token).size(), 515u);
    f.load();
    EXPECT_EQ(f.settings->token.view(), token);
}

TEST(LoadAlertConfig, SecretsThatCannotBeStoredWholeStayAsWritten) {
    // Cut to the password field, holding a byte that scrambles to '~', and revealing a NUL:
    // scrambling what memory holds would replace the user's secret by another one.
    const std::vector<std::string> lines = {
        "password : \"" + std::string(200, 'p') + "\"\n",
        "password : \"a\x15z\"\n",
        "password : \"encry0A6B09\"\n",
    };
    for (const std::string& line : lines) {
        AlertFile f;
        f.write(line);
        f.load();
        EXPECT_EQ(f.read(), line);
    }
}

TEST(ConcealSecretInFile, RewriteRules) {
    struct Case {
        const char* name;
        std::string before;
        std::string after;
        int result = 1;
    };
    const std::string s = scramble("pw");
    const std::string long_line(10000, 'x');
    const std::vector<Case> cases = {
        {"no separator, nothing to replace", "password\n", "password\n", 0},
        {"key without quotes", "password : pw\n", "password : \"" + s + "\"\n"},
        {"only the first match", "password : \"a\"\npassword : \"b\"\n",
         "password : \"" + s + "\"\npassword : \"b\"\n"},
        {"first match already scrambled", "password : \"encry0A\"\npassword : \"b\"\n",
         "password : \"encry0A\"\npassword : \"b\"\n", 0},
        {"comment, disabled and other keys kept",
         "#password : \"a\"\n* password : \"b\"\npasswords : \"c\"\n\n",
         "#password : \"a\"\n* password : \"b\"\npasswords : \"c\"\n\n", 0},
        {"last line without line feed", "a : \"1\"\n\tpassword=\"x\"  # note",
         "a : \"1\"\npassword : \"" + s + "\"\n"},
        {"byte order mark kept, first line replaced", "\xEF\xBB\xBFpassword : \"x\"\r\n",
         "\xEF\xBB\xBFpassword : \"" + s + "\"\r\n"},
        {"UTF-16 left alone", std::string("\xFF\xFEp\0:\0", 6), std::string("\xFF\xFEp\0:\0", 6),
         0},
        {"long lines and NUL bytes copied",
         long_line + "\n" + std::string("z\0z\n", 4) + "password : \"x\"\r\n",
         long_line + "\n" + std::string("z\0z\n", 4) + "password : \"" + s + "\"\r\n"},
    };
    for (const Case& c : cases) {
        test::ScratchDir dir;
        std::string path = dir.write("config.txt", c.before);
        EXPECT_EQ(conceal_secret_in_file("password", "pw", path.c_str()), c.result) << c.name;
        EXPECT_EQ(dir.read("config.txt"), c.after) << c.name;
        EXPECT_EQ(dir.entry_count(), 1) << c.name;
    }
}

TEST(ConcealSecretInFile, NothingWrittenWhenItCannotBeDoneWhole) {
    test::ScratchDir dir;
    // Just at the limit: the new content (the password line grows by 8 bytes, to
    // `password : "encry1B1C"`) plus its terminator would reach 256 KiB.
    std::string big = "password : \"x\"\n";
    while (big.size() + 100 < 262144 - 100)
        big += std::string(99, 'c') + "\n";
    big += std::string(262135 - big.size() - 1, 'c') + "\n";  // 262,135 bytes in all
    std::string path = dir.write("config.txt", big);
    EXPECT_EQ(conceal_secret_in_file("password", "pw", path.c_str()), 0);
    EXPECT_EQ(dir.read("config.txt"), big);
    EXPECT_EQ(dir.entry_count(), 1);

    big.pop_back();  // one byte less fits
    path = dir.write("config.txt", big);
    EXPECT_EQ(conceal_secret_in_file("password", "pw", path.c_str()), 1);

    EXPECT_EQ(conceal_secret_in_file("password", "pw", dir.path("missing").c_str()), 0);
    EXPECT_EQ(conceal_secret_in_file("password", "", path.c_str()), 0);
    EXPECT_EQ(conceal_secret_in_file(nullptr, "pw", path.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path("missing")));

    // A path that cannot be read as a file (a directory) is left alone, with no temporary
    // file beside it.
    std::filesystem::create_directory(dir.path("folder"));
    EXPECT_EQ(conceal_secret_in_file("password", "pw", dir.path("folder").c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path("folder")));
    EXPECT_EQ(dir.entry_count(), 2);
}

TEST(ConcealSecretInFile, KeepsPermissions) {
    test::ScratchDir dir;
    std::string path = dir.write("config.txt", "password : \"pw\"\n");
    namespace fs = std::filesystem;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::perms before = fs::status(path).permissions();
    EXPECT_EQ(conceal_secret_in_file("password", "pw", path.c_str()), 1);
    EXPECT_EQ(fs::status(path).permissions(), before);
}

#ifndef _WIN32
// A linked alert file owned by another account: the link stays a link, the file it names gets
// the new content in its own directory, and keeps its owner, group and mode.
TEST(ConcealSecretInFile, RewritesTheLinkedFileAndKeepsItsOwner) {
    namespace fs = std::filesystem;
    test::ScratchDir dir;
    fs::create_directory(dir.path("real"));
    std::string target = dir.write("real/alerts.txt", "a : \"1\"\npassword : \"pw\"\n");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::group_write);
    fs::create_symlink("real/alerts.txt", dir.path("hostvigil_email.txt"));
    // As root the file is handed to nobody:nogroup first, as a packaged set-up would have it.
    const bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    }
    struct stat before;
    ASSERT_EQ(stat(target.c_str(), &before), 0);

    EXPECT_EQ(conceal_secret_in_file("password", "pw", dir.path("hostvigil_email.txt").c_str()), 1);
    EXPECT_TRUE(fs::is_symlink(dir.path("hostvigil_email.txt")));
    EXPECT_EQ(dir.read("real/alerts.txt"), "a : \"1\"\npassword : \"" + scramble("pw") + "\"\n");
    struct stat after;
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);  // replaced whole, not written over
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(dir.entry_count(), 2);  // no temporary file left beside the link
    int in_real = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path("real")))
        ++in_real;
    EXPECT_EQ(in_real, 1);
}
#endif

}  // namespace
}  // namespace hv
