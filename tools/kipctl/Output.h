#pragma once

#include <boost/property_tree/ptree.hpp>

#include <ostream>
#include <string>

// Readable forms of kipd's replies.
namespace output {

using Tree = boost::property_tree::ptree;

void deviceTableHeader(std::ostream& out);
// One row per device report ("new_corvanet_info", "new_tessora_info", "new_ip_device_info").
void deviceRow(std::ostream& out, const std::string& reportType, const Tree& report);
void ipSettings(std::ostream& out, const Tree& reply);
void corvanets(std::ostream& out, const Tree& reply);
// Every line of a plan, of an apply's progress and of the history, and every error line, goes
// out through these two.
void line(std::ostream& out, const std::string& text);
void problem(const std::string& text);  // "kipctl: TEXT" on standard error
// The JSON text without the white space between its tokens: one line per object.
std::string compactJson(const std::string& json);

}  // namespace output
