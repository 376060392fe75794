#pragma once

#include <boost/property_tree/ptree.hpp>

#include <string>

// Reads INI text into `tree` with the rules and error messages of property_tree's read_ini.
// Returns the empty text, or the error message with `tree` left empty.
std::string readIni(const std::string& text, boost::property_tree::ptree& tree);
