/* An OpenCL library with no platforms and no OpenGL sharing. */
int clGetPlatformIDs(unsigned n, void** platforms, unsigned* count)
{
  (void)n;
  (void)platforms;
  if (count)
    *count = 0;
  return 0;
}

int clFinish(void* queue)
{
  (void)queue;
  return 0;
}
