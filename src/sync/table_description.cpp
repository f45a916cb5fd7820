#include "sync/table_description.h"

#include "common/str_buf.h"
#include "connection/column_definition.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

int describe_table(SyncContext& ctx, ResultPtr& keys) {
    SyncSide& source = ctx.source();
    StrBuf statement;
    ctx.set_status("Getting field information...");
    statement.format("show full fields from %s", ctx.plan.table.c_str());
    ResultPtr fields = query_side(source, statement.c_str());
    if (fields) {
        ctx.set_status("Getting keys information...");
        statement.format("show keys from %s", ctx.plan.table.c_str());
        keys = query_side(source, statement.c_str());
    }
    if (fields && keys) {
        ctx.plan.columns = parse_columns(source.tunnel(), fields.get());
        return 1;
    }
    // A table the source cannot describe (a name not in the source) is not synced.
    ctx.report_error(source);
    return 0;
}

}  // namespace kro::sync
