#pragma once

#include <boost/asio/ip/address.hpp>

#include <string>

// The client a connection comes from, as its bounds count it: its address, with every loopback
// address one client and an IPv4 address the same however it arrives.
inline std::string clientKey(boost::asio::ip::address address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    return address.is_loopback() ? "loopback" : address.to_string();
}
