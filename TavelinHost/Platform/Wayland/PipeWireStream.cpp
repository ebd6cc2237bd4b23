// Pictures from a PipeWire node, as a capture stream of the engine.
