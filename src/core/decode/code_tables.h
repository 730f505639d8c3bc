#pragma once

#include <array>
#include <string>
#include <vector>

namespace velk {

// The texts of one coded field; row v names code value v.
using FieldCodeTable = std::vector<std::string>;

// Which code table a call-record field uses; fields without one have a null table and 0 rows.
struct FieldDescriptor {
    const FieldCodeTable* table = nullptr;
    int rows = 0;
};

// The descriptors of fields 0..49.
const std::array<FieldDescriptor, 50>& FieldDescriptors();

// Row `code` of the field's table, or "?" when the field has no row for it.
const std::string& CodeText(int field, long long code);

// Names of the bits of the billing-method mask of "Charge Information", by system type.
const std::string& BillingMethodName(int bit, int systemType);
// The bit of "Answered Call": 3 for the CS1000 tables, 2 for the iPECS-MG billing server.
int AnsweredCallBit(int systemType);

}  // namespace velk
