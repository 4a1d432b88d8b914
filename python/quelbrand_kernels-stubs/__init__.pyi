# Type stubs for the quelbrand_kernels extension module (placeholder).
