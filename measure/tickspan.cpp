// tickspan: two readings of the processor clock around 1000 empty
// iterations, and the whole seconds between them.
#include <cstdio>
#include <ctime>

int main()
{
	long start_t = clock();
	printf("Starting of the program, start_t = %ld\n", start_t);
	printf("Going to scan a big loop, start_t = %ld\n", start_t);
	// The empty asm keeps the loop: every iteration runs.
	for (int i = 0; i <= 999; i++)
		asm volatile("" : "+r"(i));
	long end_t = clock();
	printf("End of the big loop, end_t = %ld\n", end_t);
	long total_t = (end_t - start_t) / 1000000;
	printf("Total time taken by CPU: %ld\n", total_t);
	puts("Exiting of the program...");
	return 0;
}
