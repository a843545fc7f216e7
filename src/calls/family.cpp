// The request/response family: the members of every domain table.
#include "calls/call.h"

namespace csdk {

const Definitions &request_functions() {
    static const Definitions defs = [] {
        Definitions all;
        for (const Definitions &part :
             {calls::trading(), calls::market_data(), calls::reference_data(),
              calls::fundamentals(), calls::derivatives(), calls::credit_and_pools()})
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }();
    return defs;
}

}  // namespace csdk
