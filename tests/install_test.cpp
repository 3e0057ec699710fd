// What an operator gets: the installed files, the systemd unit, the shipped
// configurations and the manual pages, checked against the daemon itself.

#include "config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using Lines = std::vector<std::string>;

struct Output {
    int status;
    std::string text; // standard output and error
};

Output run(const std::string &command)
{
    Output result{-1, ""};
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t size;
    while ((size = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.text.append(buffer, size);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

Lines split_lines(const std::string &text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A staged "cmake --install" of this build, made once for all tests.
class Installed : public testing::Test
{
  protected:
    static std::string stage;

    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/vostrelld-install.XXXXXX";
        stage = mkdtemp(pattern);
        Output install =
            run("DESTDIR=" + stage + " '" CMAKE_COMMAND "' --install '" BINARY_DIR "'");
        ASSERT_EQ(install.status, 0) << install.text;
    }
    static void TearDownTestSuite()
    {
        run("rm -rf '" + stage + "'");
    }
    static std::string staged(const std::string &path)
    {
        return stage + path;
    }
};

std::string Installed::stage;

TEST_F(Installed, EveryFileInItsPlaceAndAnEditedConfigurationKept)
{
    struct Case {
        std::string path;
        mode_t mode;
    } cases[] = {
        {SBINDIR "/vostrelld", 0755},
        {BINDIR "/vostrelld-tap", 0755},
        {MANDIR "/man8/vostrelld.8.gz", 0644},
        {MANDIR "/man1/vostrelld-tap.1.gz", 0644},
        {DOCDIR "/vostrelld.cfg", 0644},
        {UNITDIR "/vostrelld.service", 0644},
        {CONFIG_FILE, 0644},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        struct stat info;
        ASSERT_EQ(stat(staged(c.path).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, c.mode);
    }
    // The installed page is the source page, compressed.
    Output page = run("gzip -dc '" + staged(MANDIR "/man8/vostrelld.8.gz") + "'");
    EXPECT_EQ(page.text, read_file(SOURCE_DIR "/man/vostrelld.8"));

    std::ofstream(staged(CONFIG_FILE), std::ios::app) << "# edited\n";
    std::string edited = read_file(staged(CONFIG_FILE));
    Output again = run("DESTDIR=" + stage + " '" CMAKE_COMMAND "' --install '" BINARY_DIR "'");
    EXPECT_EQ(again.status, 0) << again.text;
    EXPECT_EQ(read_file(staged(CONFIG_FILE)), edited);
}

// The unit's settings, key by key; a key given twice keeps the last value.
std::map<std::string, std::string> unit_settings(const std::string &text)
{
    std::map<std::string, std::string> settings;
    for (const std::string &line : split_lines(text)) {
        size_t equals = line.find('=');
        if (!line.empty() && line[0] != '#' && line[0] != '[' && equals != std::string::npos)
            settings[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return settings;
}

TEST_F(Installed, SystemdUnitVerifiesCleanly)
{
    // Verification resolves the unit's dependencies in the staged tree, so
    // it gets a copy of the system's own units.
    Output copy = run("mkdir -p '" + stage + "/lib/systemd' && cp -a /lib/systemd/system '" +
                      stage + "/lib/systemd/'");
    ASSERT_EQ(copy.status, 0) << copy.text;
    Output verify = run("systemd-analyze verify --man=no --root='" + stage + "' '" +
                        staged(UNITDIR "/vostrelld.service") + "'");
    EXPECT_EQ(verify.status, 0);
    EXPECT_EQ(verify.text, ""); // warnings do not change the status
}

TEST_F(Installed, SystemdUnitRunsTheInstalledDaemonWithItsPidFileInTheRuntimeDirectory)
{
    auto settings = unit_settings(read_file(staged(UNITDIR "/vostrelld.service")));
    EXPECT_EQ(settings["ExecStart"], SBINDIR "/vostrelld -c " CONFIG_FILE);
    ASSERT_TRUE(create_config(staged(CONFIG_FILE).c_str()));
    std::string pidfile = config_strings[PIDFILE_STR].value;
    destroy_config();
    EXPECT_EQ(pidfile.rfind("/run/" + settings["RuntimeDirectory"] + "/", 0), 0u) << pidfile;

    const std::pair<const char *, const char *> required[] = {
        {"Type", "simple"},
        {"Restart", "on-failure"},
        {"KillSignal", "SIGTERM"},
        {"DynamicUser", "yes"},
        {"ProtectSystem", "strict"},
        {"ProtectHome", "yes"},
        {"NoNewPrivileges", "yes"},
        {"PrivateTmp", "yes"},
        {"RestrictAddressFamilies", "AF_UNIX AF_INET AF_INET6"},
    };
    for (const auto &[key, value] : required)
        EXPECT_EQ(settings[key], value) << key;
}

TEST(ShippedConfiguration, LoadsAndCommentsEveryKey)
{
    for (const char *path :
         {SOURCE_DIR "/dist/vostrelld.cfg", SOURCE_DIR "/examples/vostrelld.cfg"}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(create_config(path));
        destroy_config();
        Lines lines = split_lines(read_file(path));
        for (const config_string_type &entry : config_strings) {
            std::string key = entry.name + 1; // without the leading slash
            auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) {
                return l.rfind(key + " =", 0) == 0;
            });
            ASSERT_NE(line, lines.end()) << key;
            ASSERT_NE(line, lines.begin()) << key;
            EXPECT_EQ((line - 1)->rfind("#", 0), 0u) << key << " has no comment above it";
        }
    }
}

// The page rendered as plain text, wide enough that no line wraps.
Lines render(const std::string &page)
{
    Output rendered = run("mandoc -T ascii -O width=200 '" + page + "'");
    std::string plain;
    for (char c : rendered.text) { // drop the overstrike of bold and underline
        if (c == '\b' && !plain.empty())
            plain.pop_back();
        else
            plain += c;
    }
    return split_lines(plain);
}

// line with every run of white space made one space.
std::string squeeze_blanks(const std::string &line)
{
    std::string squeezed;
    for (char c : line) {
        bool blank = isspace(static_cast<unsigned char>(c));
        if (!blank || squeezed.empty() || squeezed.back() != ' ')
            squeezed += blank ? ' ' : c;
    }
    return squeezed;
}

// The lines of section name, up to the next section heading.
Lines section(const Lines &page, const std::string &name)
{
    Lines lines;
    auto heading = std::find(page.begin(), page.end(), name);
    for (auto line = heading == page.end() ? heading : heading + 1;
         line != page.end() && (line->empty() || isspace(static_cast<unsigned char>((*line)[0])));
         ++line)
        lines.push_back(squeeze_blanks(*line));
    return lines;
}

TEST(Manual, PagesAreLintCleanAndHaveEverySection)
{
    struct Case {
        const char *page;
        Lines sections;
    } cases[] = {
        {SOURCE_DIR "/man/vostrelld.8",
         {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "CONFIGURATION", "SIGNALS", "FILES",
          "EXIT STATUS", "EXAMPLES", "DIAGNOSTICS", "SEE ALSO"}},
        {SOURCE_DIR "/man/vostrelld-tap.1",
         {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "SEE ALSO"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.page);
        // Style notes depend on which pages the host has installed.
        Output lint = run(std::string("mandoc -T lint -W warning '") + c.page + "'");
        EXPECT_EQ(lint.status, 0);
        EXPECT_EQ(lint.text, "");
        Lines page = render(c.page);
        for (const std::string &name : c.sections)
            EXPECT_FALSE(section(page, name).empty()) << name;
    }
}

TEST(Manual, DiagnosticsListEveryLogLineOfTheDaemon)
{
    // Every line the daemon can log, in its documented form.
    const char *const lines[] = {
        "Starting version, ZMQ version x.y.z, CZMQ version x.y.z",
        "Exiting",
        "The configuration file is not defined!",
        "Error in the configuration file!",
        "Parameter \"/key\" is not found in the configuration file!",
        "create_sockets: zsock_new: errno, text",
        "create_sockets: zsock_bind: errno, text",
        "create_sockets: udp_new: errno, text",
        "create_sockets: zsock_new_push: errno, text",
        "create_reactor: zloop_new: errno, text",
        "create_reactor: zloop_reader: errno, text",
        "unable to create pid file path, code=errno (text)",
        "unable to write pid file path, code=errno (text)",
        "subscriber_socket_handler: zstr_recv: errno, text",
        "udp_socket_handler: udp_socket_handler: errno, text",
        "send_data: zstr_send (PUBLISHER_SOCKET): errno, text",
        "send_data: zstr_send (GATEWAYPUBLISHER_SOCKET): errno, text",
        "Overflow message processor queue!",
        "Overflow message processor backyard queue!",
        "Exemption message processor queue!",
        "Exemption message processor backyard queue!",
        "send_data: zframe_send: errno, text",
        "send_data: zframe_new: errno, text",
        "send_data: wrong size of input data!",
        "string_to_uint8_arr: Invalid input data: [XX]",
        "send_data: string_to_uint8_arr: wrong timestamp!",
        "send_data: string_to_uint8_arr: wrong data!",
    };
    Lines diagnostics = section(render(SOURCE_DIR "/man/vostrelld.8"), "DIAGNOSTICS");
    for (const char *line : lines)
        EXPECT_NE(std::find(diagnostics.begin(), diagnostics.end(), std::string(" ") + line),
                  diagnostics.end())
            << line;
}

TEST(Manual, DocumentsEveryConfigurationKeyAndRoute)
{
    Lines page = render(SOURCE_DIR "/man/vostrelld.8");
    Lines configuration = section(page, "CONFIGURATION");
    for (const config_string_type &entry : config_strings) {
        std::string tag = std::string(" ") + (entry.name + 1);
        EXPECT_NE(std::find(configuration.begin(), configuration.end(), tag), configuration.end())
            << tag;
    }
    Lines description = section(page, "DESCRIPTION");
    for (const char *prefix : {"#win text", "#oldmp record", "#jwin text", "anything else"}) {
        std::string tag = std::string(" ") + prefix;
        EXPECT_NE(std::find(description.begin(), description.end(), tag), description.end())
            << prefix;
    }
}

} // namespace
