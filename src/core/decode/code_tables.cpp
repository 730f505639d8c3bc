#include "core/decode/code_tables.h"

#include <cstdio>
#include <initializer_list>
#include <utility>

#include "core/foundation/app_settings.h"

namespace velk {
namespace {

// A table of `rows` rows: the named rows given, every other row the value in two upper-case hex
// digits followed by "hex".
FieldCodeTable Table(int rows, std::initializer_list<std::pair<int, const char*>> named) {
    FieldCodeTable t;
    for (int v = 0; v < rows; ++v) {
        char placeholder[16];
        std::snprintf(placeholder, sizeof placeholder, "%02Xhex", v);
        t.emplace_back(placeholder);
    }
    for (const auto& [v, text] : named)
        t[static_cast<size_t>(v)] = text;
    return t;
}

struct Tables {
    FieldCodeTable chargeTypes = Table(2, {{0, "Unknown"}, {1, "Outgoing Call"}});
    FieldCodeTable callTypes = Table(14, {{0, "Unknown"},
                                          {1, "Internal Call"},
                                          {2, "Local Call"},
                                          {3, "DDD Call"},
                                          {4, "ISD Call"},
                                          {5, "Station to Station Collect Call"},
                                          {6, "Person to Person Collect Call"},
                                          {7, "Collect Call"},
                                          {8, "TIE Access"},
                                          {9, "Data Service"},
                                          {10, "Public Call"},
                                          {11, "Incoming Call"},
                                          {12, "Transit Call"},
                                          {13, "Feature Service"}});
    FieldCodeTable callingCategories = Table(41, {{0, "Unknown"},
                                                  {1, "Station without priority"},
                                                  {3, "Operator without priority"},
                                                  {15, "Test station"},
                                                  {30, "Tie trunk line"},
                                                  {40, "PX trunk line"}});
    FieldCodeTable trunkCategories =
        Table(8, {{0, "Unknown"}, {6, "Tie Line"}, {7, "PX trunk line"}});
    FieldCodeTable miscellaneousTypes = Table(33, {{0, "Not Defined"},
                                                   {1, "Account code"},
                                                   {2, "Forced account code"},
                                                   {3, "Authorization code"},
                                                   {16, "Received ANI or CLIP"},
                                                   {17, "Sent ANI or CLIP"},
                                                   {32, "Customer Discr ID/Mail Box ID"}});
    FieldCodeTable callIntegrity = Table(2, {{0, "Normal call"}, {1, "Forced release call"}});
    FieldCodeTable partyTypes = Table(3, {{0, "Unknown"}, {1, "Extension"}, {2, "Trunk"}});
    FieldCodeTable identificationTypes =
        Table(5, {{0, "Unknown"}, {1, "D-CLI"}, {2, "FSK CID"}, {3, "DTMF CID"}, {4, "RCID"}});
    FieldCodeTable directions = Table(3, {{0, "Unknown"}, {1, "Incomming"}, {2, "Outgoing"}});
    FieldCodeTable releaseReasons = Table(2, {{0, "Normal"}, {1, "Forced Release"}});
    FieldCodeTable billingCs1000 = {"Singular billing method",
                                    "Plural billing method",
                                    "No charge subscriber",
                                    "Answered Call",
                                    "Immediately billing",
                                    "Not used",
                                    "Not used",
                                    "Not used"};
    FieldCodeTable billingIpecs = {"Singular/Plural method",
                                   "No charge subscriber",
                                   "Answered Call",
                                   "Immediately billing",
                                   "Not used",
                                   "Not used",
                                   "Not used",
                                   "Not used"};
    std::array<FieldDescriptor, 50> descriptors{};

    Tables() {
        const auto set = [this](int field, const FieldCodeTable& table) {
            descriptors[static_cast<size_t>(field)] = {&table, static_cast<int>(table.size())};
        };
        set(8, chargeTypes);
        set(9, callTypes);
        set(10, callingCategories);
        set(13, trunkCategories);
        set(18, miscellaneousTypes);
        set(19, callIntegrity);
        set(33, partyTypes);
        set(36, identificationTypes);
        set(38, directions);
        set(41, partyTypes);
        set(45, directions);
        set(49, releaseReasons);
    }
};

const Tables& AllTables() {
    static const Tables tables;
    return tables;
}

}  // namespace

const std::array<FieldDescriptor, 50>& FieldDescriptors() {
    return AllTables().descriptors;
}

const std::string& CodeText(int field, long long code) {
    static const std::string kUnknown = "?";
    if (field < 0 || field >= 50)
        return kUnknown;
    const FieldDescriptor& d = FieldDescriptors()[static_cast<size_t>(field)];
    if (d.table == nullptr || code < 0 || code >= d.rows)
        return kUnknown;
    return (*d.table)[static_cast<size_t>(code)];
}

const std::string& BillingMethodName(int bit, int systemType) {
    static const std::string kNone;
    if (bit < 0 || bit > 7)
        return kNone;
    const Tables& t = AllTables();
    return (systemType == kSystemTypeIpecsMg ? t.billingIpecs
                                             : t.billingCs1000)[static_cast<size_t>(bit)];
}

int AnsweredCallBit(int systemType) {
    return systemType == kSystemTypeIpecsMg ? 2 : 3;
}

}  // namespace velk
