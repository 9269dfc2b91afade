#pragma once
// The batch run: fetch, back up and convert every listed file.

int RunBatch();
