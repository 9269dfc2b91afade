#include "app/batch_run.h"

// Placeholder until the batch run lands: start-up links against it.
int RunBatch() { return 0; }
