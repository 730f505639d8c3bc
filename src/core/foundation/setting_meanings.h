#pragma once

#include <string>
#include <vector>

namespace velk {

// What a key of VELK.INI holds, in the words velk-settings --list prints. A family of keys is
// one entry ("f1 .. f50").
struct SettingMeaning {
    std::string key;
    std::string meaning;
};

// Every key velk-settings sets, with its meaning and values, in the file's order.
const std::vector<SettingMeaning>& SettingMeanings();

// Empty when the value suits what the key means (a flag 0 or 1, an index in its list, an IPv4
// address, a separator of two hexadecimal digits, ...); otherwise why not, e.g.
// "IP address is an IPv4 address such as 10.0.0.5". Keys without a rule take any value.
std::string SettingValueProblem(const std::string& key, const std::string& value);

// What a value stands for, where a number stands for a choice ("CS1000 Main Billing Server" for
// "Server Port index" 0, "9600 baud", "yes"/"no" for a flag); empty otherwise.
std::string SettingValueNote(const std::string& key, const std::string& value);

}  // namespace velk
