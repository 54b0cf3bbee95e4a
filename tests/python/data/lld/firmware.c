/* A small freestanding firmware for the lld map tests: a vector table, code,
   read-only data, initialised data copied from flash, zeroed data, a stack
   reservation and a function that runs from RAM. */
typedef unsigned int u32;

extern u32 _estack;
void reset_handler(void);
int app_step(int value);

static const char greeting[] = "hello, firmware";
const u32 lookup_table[8] = {1, 2, 3, 4, 5, 6, 7, 8};
u32 boot_count = 5;
u32 coefficients[4] = {9, 8, 7, 6};
u32 sample_buffer[16];
static u32 ticks;

__attribute__((section(".ramfunc"), noinline)) void fast_copy(u32 *to, const u32 *from, int count)
{
    while (count--)
        *to++ = *from++;
}

__attribute__((section(".stack"), used)) static unsigned char stack_area[1024];

__attribute__((section(".vectors"), used)) void (*const vectors[])(void) = {
    (void (*)(void))&_estack,
    reset_handler,
};

int main(void)
{
    ticks += (u32)greeting[boot_count & 15];
    fast_copy(sample_buffer, coefficients, 4);
    return app_step((int)(lookup_table[ticks & 7] + sample_buffer[1]));
}

void reset_handler(void)
{
    main();
    for (;;) {
    }
}
