// Symbol file of qelvperf.ini for lodctr: the offsets of the Storage Bus
// object and of its counters from the "First Counter" and "First Help"
// indexes that lodctr gives the qelvard1 service. Even numbers from 0, the
// object first, as lodctr requires; qelvperf.dll reads the same offsets.
#define STORAGE_BUS_OBJECT 0
#define BUSY_PERCENT 2
#define IDLE_PERCENT 4
#define BUSY_TIME 6
