#include "Output.h"

#include "TerminalText.h"
#include "wire/HostReplyTexts.h"

#include <iomanip>
#include <iostream>

namespace output {
namespace {

// Every text of a reply that a table shows is read here, escaped for the terminal.
std::string text(const Tree& tree, const std::string& path, const std::string& fallback = "")
{
    return terminalText(tree.get<std::string>(path, fallback));
}

std::string kindOf(const std::string& reportType)
{
    if (reportType == hostreply::newCorvanetInfo)
        return "corvanet";
    if (reportType == hostreply::newTessoraInfo)
        return "tessora";
    return "device";
}

std::string tessoraDetails(const Tree& report)
{
    std::string details = "dip " + text(report, "tessora.dip", "0");
    if (report.get_child_optional("tessora.router"))
        details += ", router " + text(report, "tessora.router.inputs", "0") + "x" +
                   text(report, "tessora.router.outputs", "0") + " " + text(report, "tessora.router.format");
    if (report.get_child_optional("tessora.panel.buttons"))
        details += ", panel of " + text(report, "tessora.panel.buttons") + " buttons";
    if (report.get_child_optional("system.level.no"))
        details += ", level " + text(report, "system.level.no") + " \"" + text(report, "system.level.name") + "\"";
    return details;
}

std::string details(const std::string& reportType, const Tree& report)
{
    if (reportType == hostreply::newTessoraInfo)
        return tessoraDetails(report);
    if (reportType == hostreply::newCorvanetInfo)
        return "box " + text(report, "corvanet.box") + ", firmware " + text(report, "firmware.version");
    return "";
}

void row(std::ostream& out, const std::string& kind, const std::string& mac, const std::string& ip,
         const std::string& hostname, const std::string& system, const std::string& details)
{
    out << std::left << std::setw(9) << kind << ' ' << std::setw(17) << mac << ' ' << std::setw(15) << ip << ' '
        << std::setw(16) << hostname << ' ' << std::setw(16) << system << ' ' << details << '\n';
}

}  // namespace

void deviceTableHeader(std::ostream& out)
{
    row(out, "KIND", "MAC ADDRESS", "IP ADDRESS", "HOSTNAME", "SYSTEM", "DETAILS");
}

void deviceRow(std::ostream& out, const std::string& reportType, const Tree& report)
{
    row(out, kindOf(reportType), text(report, "ip_settings.mac_address"), text(report, "ip_settings.ip_address"),
        text(report, "ip_settings.hostname"), text(report, "system.name", "-"), details(reportType, report));
    out.flush();
}

void ipSettings(std::ostream& out, const Tree& reply)
{
    out << "MAC address:      " << text(reply, "mac_address") << '\n'
        << "IP address:       " << text(reply, "ip_address") << '\n'
        << "Subnet mask:      " << text(reply, "subnet_mask") << '\n'
        << "Default gateway:  " << text(reply, "default_gateway") << '\n'
        << "Hostname:         " << text(reply, "hostname") << '\n';
}

void corvanets(std::ostream& out, const Tree& reply)
{
    out << std::left << std::setw(20) << "HOSTNAME" << ' ' << "IP ADDRESS\n";
    boost::optional<const Tree&> list = reply.get_child_optional("corvanets");
    if (!list)
        return;
    for (const auto& entry : *list) {
        std::string marker = text(entry.second, "current") == "true" ? "  (this box)" : "";
        out << std::setw(20) << text(entry.second, "hostname") << ' ' << text(entry.second, "ip_address") << marker
            << '\n';
    }
}

void line(std::ostream& out, const std::string& text) { out << terminalText(text) << '\n'; }

void problem(const std::string& text) { std::cerr << "kipctl: " << terminalText(text) << '\n'; }

std::string compactJson(const std::string& json)
{
    std::string compact;
    bool inString = false;
    bool escaped = false;
    for (char c : json) {
        if (inString) {
            inString = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            continue;
        } else {
            inString = c == '"';
        }
        compact += c;
    }
    return compact;
}

}  // namespace output
