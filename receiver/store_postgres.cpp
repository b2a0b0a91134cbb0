#include <stdio.h>

#include "store_backends.h"

StoreFault openPostgresStore(const char *apUri, StoreAccess, Store *)
{
    return storeFault("the store %s: this build keeps posts in SQLite only", apUri);
}

void closePostgresStore(Store *) {}

void describePostgresStore(const Store *, char *apText, size_t aSize)
{
    snprintf(apText, aSize, "PostgreSQL");
}

StoreFault keepGroupPostgres(Store *, Post **, size_t)
{
    return storeFault("no PostgreSQL store");
}

bool postgresAnswers(Store *)
{
    return false;
}

bool nextReceivedPostgres(Store *, ReceivedFilter, StoreCursor *, ReceivedRow *, StoreFault *apFault)
{
    *apFault = storeFault("no PostgreSQL store");
    return false;
}

bool nextNotOpenedPostgres(Store *, StoreCursor *, NotOpenedRow *, StoreFault *apFault)
{
    *apFault = storeFault("no PostgreSQL store");
    return false;
}

Reopened reopenPostgres(Store *, const char *)
{
    return {storeFault("no PostgreSQL store"), 0, 0};
}
