// The run's settings, with the values a run starts from (see settings.h).

#include "util/settings.h"

char* fromdir = nullptr;
char* todir = nullptr;
char* patchdir = nullptr;
char* archname = nullptr;
char* adminname = nullptr;
char* dbroot = nullptr;
char* cachefile = nullptr;
int forcepatch = 0;
int reverse = 0;
int onlyshow = 0;
int nthreads = 1;
char* checkdir = nullptr;
int showunlisted = 0;
CheckOutput checkoutput = CheckOutput::normal;
int checkstrict = 0;
int checkignoremissing = 0;
int verifydb = 0;
std::vector<char*> prunesources;
std::time_t graceperiod = 14 * 86400;
int jobs_given = 0;
