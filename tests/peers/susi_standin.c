/* Stand-in for the board maker's GPIO library, built as libSUSI-4.00.so.1: the operations
 * the board object resolves, over the simulated board's level files ($ZUKA_GPIO_DIR/gpioN
 * holds the level of pin N). Directions live in memory, all inputs at load; 0 is success. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define PINS 8u
#define FAILED 0xFFFFFFFFu
static uint32_t directions[PINS] = {1, 1, 1, 1, 1, 1, 1, 1};

static FILE *level_file(uint32_t pin, const char *mode)
{
    char path[4096];
    const char *dir = getenv("ZUKA_GPIO_DIR");
    if (!dir || pin >= PINS || snprintf(path, sizeof path, "%s/gpio%u", dir, pin) >= (int)sizeof path)
        return NULL;
    return fopen(path, mode);
}

uint32_t SusiLibInitialize(void) { return 0; }

uint32_t SusiBoardGetStringA(uint32_t id, char *buffer, uint32_t *length)
{
    if (!buffer || !length || !*length)
        return FAILED;
    snprintf(buffer, *length, "%s", id == 1 ? "Stand-in SUSI board" : id == 7 ? "standin-4.00" : "");
    return 0;
}

uint32_t SusiGPIOGetDirection(uint32_t id, uint32_t mask, uint32_t *direction)
{
    (void)mask;
    return id < PINS && direction ? (*direction = directions[id], 0) : FAILED;
}

uint32_t SusiGPIOSetDirection(uint32_t id, uint32_t mask, uint32_t direction)
{
    (void)mask;
    return id < PINS ? (directions[id] = direction ? 1 : 0, 0) : FAILED;
}

/* An empty or half-written file is no level. */
uint32_t SusiGPIOGetLevel(uint32_t id, uint32_t mask, uint32_t *level)
{
    unsigned value;
    int n;
    FILE *f = level_file(id, "r");
    (void)mask;
    if (!f || !level)
        return f ? (fclose(f), FAILED) : FAILED;
    n = fscanf(f, "%u", &value);
    fclose(f);
    return n == 1 ? (*level = value ? 1 : 0, 0) : FAILED;
}

uint32_t SusiGPIOSetLevel(uint32_t id, uint32_t mask, uint32_t level)
{
    FILE *f = level_file(id, "w");
    (void)mask;
    if (!f)
        return FAILED;
    fputs(level ? "1\n" : "0\n", f);
    return fclose(f) == 0 ? 0 : FAILED;
}
