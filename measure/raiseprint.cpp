// raiseprint: 3.2 raised to 1.0 in extended precision, printed with %Lf.
// The power is taken at build time: x to the first power is x, and the base
// is the double 3.2 widened, so no maths library is needed at run time.
#include <cstdio>

static constexpr long double value = static_cast<long double>(3.2);

int main()
{
	printf("powl(3.2, 1.0) = %Lf\n", value);
	return 0;
}
