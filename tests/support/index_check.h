#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/decode/field_names.h"
#include "platform/sqlite_record_index.h"
#include "support/temp_dir.h"

namespace velk::test {

inline std::string ValueKey(const IndexValue& v) {
    return std::to_string(v.index()) + ":" + IndexValueText(v);
}

inline std::vector<std::string> SplitLine(const std::string& line, char separator) {
    std::vector<std::string> cells(1);
    for (char c : line) {
        if (c == separator)
            cells.emplace_back();
        else
            cells.back() += c;
    }
    return cells;
}

// Every line of the decoded files has exactly one row in the index with the same values in the
// files' columns (named by their header), and the index holds no other row.
inline void ExpectIndexEqualsDecodedFiles(const std::filesystem::path& base,
                                          const std::vector<std::filesystem::path>& files,
                                          char separator = ';') {
    std::multiset<std::vector<std::string>> lines, rows;
    std::vector<int> fields;
    for (const auto& file : files) {
        const std::string text = ReadFile(file);
        size_t at = 0;
        bool header = true;
        while (at < text.size()) {
            const size_t end = text.find("\r\n", at);
            ASSERT_NE(end, std::string::npos) << file;
            const std::vector<std::string> cells = SplitLine(text.substr(at, end - at), separator);
            at = end + 2;
            if (header) {
                fields.clear();
                for (const std::string& name : cells) {
                    int field = -1;
                    for (int f = 0; f < 50; ++f)
                        field = kFieldNames[static_cast<size_t>(f)] == name ? f : field;
                    fields.push_back(field);
                }
                header = false;
                continue;
            }
            ASSERT_EQ(cells.size(), fields.size()) << file;
            std::vector<std::string> key;
            for (size_t c = 0; c < cells.size(); ++c) {
                if (fields[c] >= 0)
                    key.push_back(ValueKey(FieldValue(fields[c], cells[c])));
            }
            lines.insert(key);
        }
    }
    SqliteRecordIndex index(base / kRecordIndexFile, SqliteRecordIndex::Mode::Read);
    ASSERT_TRUE(index.Select({}, [&](const IndexRow& row) {
        std::vector<std::string> key;
        for (int f : fields) {
            if (f >= 0)
                key.push_back(ValueKey(row.Field(f)));
        }
        rows.insert(key);
        return true;
    })) << index.ErrorText();
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(rows.size(), lines.size());
    EXPECT_TRUE(rows == lines) << "the index and the decoded files differ";
}

}  // namespace velk::test
