#pragma once
// The ways the scan tests cut one stream into packets, and what a peer receives when the scan
// stops at a byte: a parser must decide alike wherever the packet boundaries fall.

#include <cstddef>
#include <string>
#include <vector>

namespace NuvTest {

constexpr std::size_t kNothingBlocked = std::string::npos;

// The stream cut at the given offsets (ascending, inside the stream) into packets.
inline std::vector<std::string> SplitAt(const std::string& stream, const std::vector<std::size_t>& cuts) {
    std::vector<std::string> packets;
    std::size_t start = 0;
    for (const std::size_t cut : cuts) {
        packets.push_back(stream.substr(start, cut - start));
        start = cut;
    }
    packets.push_back(stream.substr(start));
    return packets;
}

// Every byte before the stop, wherever the packet boundaries fall (a packet holding the stop
// leaves as its part before it); kNothingBlocked: all bytes.
inline std::string ReleasedBeforeStop(const std::string& stream, std::size_t stopsAt, const std::vector<std::size_t>&) {
    if (stopsAt == kNothingBlocked) return stream;
    return stream.substr(0, stopsAt);
}

// check(cuts, how) for the stream as one packet, cut once at every offset, and a byte a packet.
template <class Check>
void ForEverySplit(const std::string& stream, Check check) {
    check(std::vector<std::size_t>{}, std::string("one packet"));
    std::vector<std::size_t> everyByte;
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        check(std::vector<std::size_t>{cut}, "cut at " + std::to_string(cut));
        everyByte.push_back(cut);
    }
    check(everyByte, std::string("a byte a packet"));
}

}  // namespace NuvTest
