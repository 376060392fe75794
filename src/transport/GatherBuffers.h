#pragma once

#include <boost/asio/buffer.hpp>

#include <deque>
#include <string>
#include <vector>

// The queued texts of a link as one buffer sequence, for a single gathered write. The texts
// must stay in place until the write completes (a deque keeps them where they are as texts are
// appended behind them).
inline std::vector<boost::asio::const_buffer> gatherBuffers(const std::deque<std::string>& texts)
{
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(texts.size());
    for (const std::string& text : texts)
        buffers.push_back(boost::asio::buffer(text));
    return buffers;
}
