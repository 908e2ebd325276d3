// Our parser against an independent one, the npm package eventsource-parser, on generated
// streams. The streams keep to what both define alike: blocks with at least one data line, no
// empty data or event values (we join an empty first data value to nothing, the other parser
// to a leading line feed; it also drops an empty event type), no byte-order mark after the
// first byte, and a line feed at the end (the other parser has no end of input). The other parser also carries no retry value in its events, so ids, types and
// data are compared.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "EventSource/Parser.h"

namespace eventsource {
namespace {

const std::filesystem::path kPeerDirectory = FW_EVENT_STREAM_PEER_DIR;

std::string hex(const std::optional<std::string>& text) {
    if (!text) {
        return "-";
    }
    if (text->empty()) {
        return "=";
    }
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : *text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string pick(std::mt19937& random, std::initializer_list<const char*> choices) {
    return *(choices.begin() + random() % choices.size());
}

// A value that is not empty once the one blank after the colon is taken away.
std::string value(std::mt19937& random) {
    std::string text;
    int parts = 1 + int(random() % 4);
    for (int i = 0; i < parts; ++i) {
        text += pick(random, {"word", "x", "{\"a\":1}", "a:b", " spaced", "h\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                              "\xF0\x9F\x99\x82", "bad\xFF", "cut\xE2\x82", "tab\there", "  two"});
    }
    return text;
}

std::string field(std::mt19937& random, const std::string& name) {
    std::string text = value(random);
    // "name:value" or "name: value"; without the blank, a value must not begin with one.
    if (random() % 2 == 0 && text.front() != ' ') {
        return name + ":" + text;
    }
    return name + ": " + text;
}

std::string generateStream(std::mt19937& random) {
    std::string stream;
    if (random() % 4 == 0) {
        stream += "\xEF\xBB\xBF";
    }
    int blocks = 1 + int(random() % 40);
    for (int b = 0; b < blocks; ++b) {
        std::vector<std::string> lines;
        int dataLines = 1 + int(random() % 3);
        for (int i = 0; i < dataLines; ++i) {
            lines.push_back(field(random, "data"));
        }
        if (random() % 2) {
            lines.push_back(field(random, "event"));
        }
        if (random() % 2) {
            lines.push_back(random() % 4 ? field(random, "id") : pick(random, {"id", "id:", "id: "}));
        }
        if (random() % 3 == 0) {
            lines.push_back(pick(random, {":", ": a comment", ":data: not data"}));
        }
        if (random() % 4 == 0) {
            lines.push_back(pick(random, {"retry: 100", "retry: x", "foo: bar", "Data: upper", "unknown"}));
        }
        std::shuffle(lines.begin(), lines.end(), random);
        for (const auto& line : lines) {
            stream += line + pick(random, {"\n", "\r", "\r\n"});
        }
        stream += pick(random, {"\n", "\r", "\r\n"});
    }
    // The other parser keeps a CR at the very end waiting for a possible LF and has no end of
    // input: a final LF settles it for both.
    return stream + "\n";
}

std::vector<std::string> ours(const std::string& stream, std::mt19937& random) {
    Parser parser;
    std::vector<std::string> lines;
    auto drain = [&] {
        while (auto event = parser.getNextEvent()) {
            lines.push_back(hex(event->id) + " " + hex(event->event) + " " + hex(event->data));
        }
    };
    for (std::size_t offset = 0; offset < stream.size();) {
        std::size_t size = std::min<std::size_t>(1 + random() % 64, stream.size() - offset);
        parser.consume({reinterpret_cast<const std::uint8_t*>(stream.data()) + offset, size});
        offset += size;
        drain();
    }
    parser.finish();
    drain();
    return lines;
}

std::vector<std::string> theirs(const std::filesystem::path& file, unsigned seed) {
    std::string command = "node '" + (kPeerDirectory / "parse.mjs").string() + "' '" +
                          file.string() + "' " + std::to_string(seed);
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "could not run " << command;
        return lines;
    }
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, n);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(ParserDifferential, AgreesWithEventsourceParserOnGeneratedStreams) {
    ASSERT_TRUE(std::filesystem::exists(kPeerDirectory / "node_modules" / "eventsource-parser"))
        << "scripts/setup installs the npm peer into " << kPeerDirectory;
    auto file = std::filesystem::temp_directory_path() /
                ("fw-event-stream-" + std::to_string(::getpid()) + ".txt");
    std::mt19937 random(20261211);
    for (unsigned round = 1; round <= 25; ++round) {
        std::string stream = generateStream(random);
        {
            std::ofstream out(file, std::ios::binary);
            out << stream;
        }
        auto expected = theirs(file, round);
        EXPECT_EQ(ours(stream, random), expected) << "round " << round;
        EXPECT_FALSE(expected.empty());
    }
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace eventsource
