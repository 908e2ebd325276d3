// The local automation socket's reading side: the line reader over a real socket pair, and the
// inbound rules applied to each line.
//
//   BM_LineReaderPipelined/<bytes>    lines of the given size, written back to back by a thread
//   BM_LineReaderMebibyteInPieces/<n>  one 1 MiB line arriving in pieces of n bytes: the time per
//                                      line must not grow as the pieces shrink (linear scanning)
//   BM_AcceptInboundLine               the rules on a typical tools/call request
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "app/automation/InboundMessageRules.h"

namespace {

using namespace fw::automation;

void sendAll(int fd, const std::string& bytes, std::size_t piece) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.data() + done, std::min(piece, bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void readLines(benchmark::State& state, std::size_t lineSize, std::size_t piece, int perRound) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    std::string line(lineSize, 'x');
    line.back() = '\n';
    std::string round;
    for (int i = 0; i < perRound; ++i) {
        round += line;
    }
    MCPUnixSocketLineReader reader(fds[0]);
    for (auto _ : state) {
        std::thread writer([&] { sendAll(fds[1], round, piece); });
        for (int i = 0; i < perRound; ++i) {
            benchmark::DoNotOptimize(reader.nextLine(MCPUnixSocket::kIncomingLineMaximum));
        }
        writer.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(round.size()));
    ::close(fds[0]);
    ::close(fds[1]);
}

void BM_LineReaderPipelined(benchmark::State& state) {
    readLines(state, static_cast<std::size_t>(state.range(0)), 1 << 16, 256);
}
BENCHMARK(BM_LineReaderPipelined)->Arg(128)->Arg(4096)->Arg(65536)->UseRealTime();

void BM_LineReaderMebibyteInPieces(benchmark::State& state) {
    readLines(state, MCPUnixSocket::kIncomingLineMaximum, static_cast<std::size_t>(state.range(0)),
              1);
}
BENCHMARK(BM_LineReaderMebibyteInPieces)
    ->Arg(16)
    ->Arg(256)
    ->Arg(4096)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_AcceptInboundLine(benchmark::State& state) {
    const std::string line =
        R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"inspect_sequence",)"
        R"("arguments":{"folder":{"folder_id":"0F6B2A40-2C1B-4B8A-9F0E-3D5C1B2A4E6F",)"
        R"("relative_path":"shots/day1"},"limit":200}}})";
    for (auto _ : state) {
        benchmark::DoNotOptimize(acceptInboundLine(line, MCPUnixSocket::kIncomingLineMaximum));
    }
}
BENCHMARK(BM_AcceptInboundLine);

}  // namespace

BENCHMARK_MAIN();
