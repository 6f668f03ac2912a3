// How the run ends, once the closing line is out.
#pragma once

// Returns, for main to return 0, unless an exchange's thread is still blocked in WinINet: then the console
// is flushed and the process ends here with status 0.
void EndRun();
