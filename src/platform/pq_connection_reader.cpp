#include "platform/pq_connection_reader.h"

#include <libpq-fe.h>

namespace velk {

bool PqConnectionReader::Read(const std::string& connection,
                              std::map<std::string, std::string>& options, std::string& why) const {
    options.clear();
    char* error = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(connection.c_str(), &error);
    if (parsed == nullptr) {
        why = error != nullptr ? error : "out of memory";
        PQfreemem(error);
        return false;
    }
    for (const PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
        if (o->val != nullptr)
            options[o->keyword] = o->val;
    }
    PQconninfoFree(parsed);
    return true;
}

}  // namespace velk
