// Entry points the stand-in does not script: bound columns and
// positioning inside a rowset.  The connector reads through bound arrays
// only where SQLGetInfo reports the driver's SQLGetData extensions, which
// the stand-in's scripts do not, so these are never reached; they refuse.
#include "odbc_api.h"

extern "C" {

SQLRETURN SQL_API SQLBindCol(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER,
                             SQLLEN, SQLLEN*) {
    return SQL_ERROR;
}

SQLRETURN SQL_API SQLSetPos(SQLHSTMT, SQLSETPOSIROW, SQLUSMALLINT,
                            SQLUSMALLINT) {
    return SQL_ERROR;
}

}  // extern "C"
