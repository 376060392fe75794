#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Cuts a byte stream into NUL-terminated messages across reads. Both of kipd's protocols end
// every message with one NUL, and the NUL never belongs to the message. Each byte is searched
// for a NUL once, however many reads a long message takes.
class NulFramer {
public:
    void append(std::string_view data) { buffer.append(data); }

    // Takes the next complete message; false when more bytes are needed.
    bool next(std::string& message);
    // Takes every complete message at once, each with its NUL; false when there is none.
    bool takeComplete(std::string& messages);

    // Bytes received and not yet terminated by a NUL.
    std::size_t pendingSize() const { return buffer.size() - start; }

    // A peer that sends more than this without a NUL is not speaking the protocol.
    static constexpr std::size_t pendingLimit = 1 << 20;
    bool overflowed() const { return pendingSize() > pendingLimit; }
    // Gives the buffer's memory back, not just its bytes.
    void clear()
    {
        std::string().swap(buffer);
        start = scanned = 0;
    }

private:
    std::string buffer;
    std::size_t start = 0;    // where the first unconsumed message begins
    std::size_t scanned = 0;  // bytes before this offset hold no NUL
};
