// dorvex-worker: the process the engine reads untrusted files in (engine/worker/WorkerPool.h).

#include "engine/worker/WorkerLoop.h"

int main(int argc, char** argv) { return dorvex::WorkerLoop::main(argc, argv); }
