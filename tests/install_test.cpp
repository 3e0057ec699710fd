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

// A C string literal's text, escapes resolved.
std::string unescape(const std::string &literal)
{
    std::string text;
    for (size_t i = 0; i < literal.size(); i++) {
        if (literal[i] != '\\' || i + 1 == literal.size()) {
            text += literal[i];
            continue;
        }
        char next = literal[++i];
        text += next == 'n' ? '\n' : next == 't' ? '\t' : next;
    }
    return text;
}

struct Token {
    bool literal;
    std::string text;
};

// Identifiers, punctuation and string literals of C++ source, comments and
// character literals skipped, adjacent literals joined.
std::vector<Token> tokenize(const std::string &source)
{
    std::vector<Token> tokens;
    for (size_t i = 0; i < source.size();) {
        char c = source[i];
        if (isspace(static_cast<unsigned char>(c))) {
            i++;
        } else if (source.compare(i, 2, "//") == 0) {
            i = source.find('\n', i);
        } else if (source.compare(i, 2, "/*") == 0) {
            i = source.find("*/", i) + 2;
        } else if (c == '"' || c == '\'') {
            size_t end = i + 1;
            while (end < source.size() && source[end] != c)
                end += source[end] == '\\' ? 2 : 1;
            std::string text = unescape(source.substr(i + 1, end - i - 1));
            if (c == '"' && !tokens.empty() && tokens.back().literal)
                tokens.back().text += text;
            else if (c == '"')
                tokens.push_back({true, text});
            i = end + 1;
        } else if (isalnum(static_cast<unsigned char>(c)) || c == '_') {
            size_t end = i;
            while (end < source.size() &&
                   (isalnum(static_cast<unsigned char>(source[end])) || source[end] == '_'))
                end++;
            tokens.push_back({false, source.substr(i, end - i)});
            i = end;
        } else {
            tokens.push_back({false, std::string(1, c)});
            i++;
        }
        if (i == std::string::npos)
            break;
    }
    return tokens;
}

// Every log format of a source file: the literal format of each syslog
// call, its leading %s replaced by the procedure name that follows it, and
// formats or texts kept elsewhere and handed to syslog later (those with an
// errno part or ending in "!").
Lines log_formats(const std::string &source)
{
    std::vector<Token> tokens = tokenize(source);
    std::vector<bool> used(tokens.size());
    Lines formats;
    for (size_t i = 0; i + 4 < tokens.size(); i++) {
        if (tokens[i].text != "syslog" || tokens[i + 1].text != "(")
            continue;
        size_t format = i + 2;
        while (format < tokens.size() && !tokens[format].literal && tokens[format].text != ",")
            format++;
        if (++format >= tokens.size() || !tokens[format].literal || tokens[format].text == "%s")
            continue;
        std::string text = tokens[format].text;
        used[format] = true;
        if (text.rfind("%s", 0) == 0 && format + 2 < tokens.size() &&
            tokens[format + 1].text == "," && tokens[format + 2].literal) {
            text.replace(0, 2, tokens[format + 2].text);
            used[format + 2] = true;
        }
        formats.push_back(text);
    }
    for (size_t i = 0; i < tokens.size(); i++) {
        const std::string &text = tokens[i].text;
        if (tokens[i].literal && !used[i] &&
            (text.find(": %d, %s") != std::string::npos ||
             (!text.empty() && text.find_last_not_of('\n') != std::string::npos &&
              text[text.find_last_not_of('\n')] == '!')))
            formats.push_back(text);
    }
    return formats;
}

// True when text from offset at on reads as format from offset from on,
// where %s stands for any text and the other conversions for one word: the
// placeholders of the documented form.
bool reads_as(const std::string &text, size_t at, const std::string &format, size_t from)
{
    if (from == format.size())
        return true;
    if (format[from] != '%')
        return at < text.size() && text[at] == format[from] &&
               reads_as(text, at + 1, format, from + 1);
    size_t end = format.find_first_of("sdXx", from);
    bool any = format[end] == 's';
    for (size_t length = any ? 0 : 1; at + length <= text.size(); length++) {
        if (!any && isspace(static_cast<unsigned char>(text[at + length - 1])))
            break;
        if (reads_as(text, at + length, format, end + 1))
            return true;
    }
    return false;
}

// True when line holds the documented form of the log format.
bool documents(const std::string &line, std::string format)
{
    while (!format.empty() && format.back() == '\n')
        format.pop_back();
    for (size_t at = 0; at < line.size(); at++)
        if (reads_as(line, at, format, 0))
            return true;
    return false;
}

TEST(Manual, DiagnosticsCoverEveryLogLineOfTheDaemon)
{
    Lines diagnostics = section(render(SOURCE_DIR "/man/vostrelld.8"), "DIAGNOSTICS");
    size_t checked = 0;
    for (const char *unit : {"main", "config", "endpoints", "router", "record"}) {
        std::string path = SOURCE_DIR "/src/" + std::string(unit) + ".cpp";
        for (const std::string &format : log_formats(read_file(path))) {
            SCOPED_TRACE(path + ": " + format);
            EXPECT_TRUE(
                std::any_of(diagnostics.begin(), diagnostics.end(),
                            [&](const std::string &line) { return documents(line, format); }));
            checked++;
        }
    }
    EXPECT_GE(checked, 25u); // the extraction itself still finds the lines
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
