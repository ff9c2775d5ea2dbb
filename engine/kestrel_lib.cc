// libkestrel's library unit. The subsystems live in engine/<subsystem> and are
// folded into this shared library whole; what it exports is listed in
// engine/kestrel.map.
