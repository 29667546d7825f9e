#include "tools/kmt-sim/sim_line.h"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>

namespace movra {

SimPortsFolder::SimPortsFolder(const std::string& prefix)
    : path_((std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid())))
                .string()) {
    std::filesystem::create_directories(path_);
    ::setenv("MOVRA_PORTS", path_.c_str(), 1);
    ::setenv("MOVRA_MUTEX_DIR", path_.c_str(), 1);
}

SimPortsFolder::~SimPortsFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> simArguments(uint32_t baud, const std::vector<std::string>& devices) {
    std::vector<std::string> arguments{"--baud", std::to_string(baud)};
    for (const std::string& device : devices) {
        arguments.push_back("--device");
        arguments.push_back(device);
    }
    return arguments;
}

KmtSimLine::KmtSimLine(const std::string& program, const std::string& folder, unsigned comPort,
                       const std::vector<std::string>& arguments, bool trace)
    : link_(folder + "/com" + std::to_string(comPort)) {
    std::vector<std::string> all{"--pty", link_};
    if (trace) {
        tracePath_ = link_ + ".trace";
        all.push_back("--trace");
    }
    all.insert(all.end(), arguments.begin(), arguments.end());
    child_ = std::make_unique<toolsupport::PipedChild>(program, all, tracePath_);
    std::optional<std::string> line = child_->readLine(10000);
    ready_ = line && *line == "READY " + link_;
}

KmtSimLine::~KmtSimLine() {
    child_->signal(SIGTERM);
    child_->wait(5000);
}

std::string KmtSimLine::traceText() const {
    if (tracePath_.empty()) {
        return {};
    }
    std::ifstream in(tracePath_, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A line that crosses a page of the file can be seen half written; it counts once it is whole.
    text.resize(text.rfind('\n') + 1);
    return text;
}

std::string KmtSimLine::settledTraceText(uint32_t limitMs) const {
    std::string text = traceText();
    for (uint32_t waited = 0; waited < limitMs; ++waited) {
        TraceCount count = countTrace(text);
        if (count.replies + count.silent >= count.requestFrames.size()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        text = traceText();
    }
    return text;
}

namespace {

bool isHexByte(const std::string& word) {
    return word.size() == 2 && std::isxdigit(static_cast<unsigned char>(word[0])) != 0 &&
           std::isxdigit(static_cast<unsigned char>(word[1])) != 0;
}

}  // namespace

TraceCount countTrace(const std::string& trace) {
    TraceCount count;
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        // "[  0.123456] in      FE B0 00 00 00 27 14 05  (KMT@254)"
        size_t close = line.find("] ");
        if (line.empty() || line[0] != '[' || close == std::string::npos) {
            continue;
        }
        std::istringstream words(line.substr(close + 2));
        std::string kind;
        words >> kind;
        std::string frame;
        size_t bytes = 0;
        std::string word;
        while (words >> word && isHexByte(word)) {
            frame += (bytes++ == 0 ? "" : " ") + word;
        }
        if (kind == "in" || kind == "zeros" || kind == "other") {
            ++count.requests;
            count.requestBytes += bytes;
            if (kind == "in") {
                count.requestFrames.push_back(frame);
            }
        } else if (kind == "out") {
            ++count.replies;
            count.replyBytes += bytes;
        } else if (kind == "silent") {
            ++count.silent;
        }
    }
    return count;
}

}  // namespace movra
