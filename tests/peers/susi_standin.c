/* Stand-in for the board maker's GPIO library, built as libSUSI-4.00.so.1 so that the
 * board object's run-time loading is exercised. It exports the operations the board
 * object resolves, over the same level files as the simulated board: the level of pin
 * N is the number in $ZUKA_GPIO_DIR/gpioN. Directions are kept in memory, all inputs
 * at load. Status 0 is success. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PINS 8
#define STATUS_ERROR 0xFFFFFFFFu
#define STATUS_INVALID 0xFFFFFFFDu

static uint32_t directions[PINS] = {1, 1, 1, 1, 1, 1, 1, 1};

static int level_file(uint32_t pin, char *path, size_t size)
{
    const char *dir = getenv("ZUKA_GPIO_DIR");
    if (!dir || !*dir || pin >= PINS)
        return 0;
    return snprintf(path, size, "%s/gpio%u", dir, pin) < (int)size;
}

uint32_t SusiLibInitialize(void)
{
    return 0;
}

uint32_t SusiBoardGetStringA(uint32_t id, char *buffer, uint32_t *length)
{
    const char *text = id == 1 ? "Stand-in SUSI board" : id == 7 ? "standin-4.00" : "";
    if (!buffer || !length || *length == 0)
        return STATUS_INVALID;
    snprintf(buffer, *length, "%s", text);
    return 0;
}

uint32_t SusiGPIOGetDirection(uint32_t id, uint32_t mask, uint32_t *direction)
{
    (void)mask;
    if (id >= PINS || !direction)
        return STATUS_INVALID;
    *direction = directions[id];
    return 0;
}

uint32_t SusiGPIOSetDirection(uint32_t id, uint32_t mask, uint32_t direction)
{
    (void)mask;
    if (id >= PINS)
        return STATUS_INVALID;
    directions[id] = direction ? 1 : 0;
    return 0;
}

uint32_t SusiGPIOGetLevel(uint32_t id, uint32_t mask, uint32_t *level)
{
    char path[4096], text[32];
    char *end;
    unsigned long value;
    FILE *f;
    size_t n;
    (void)mask;
    if (!level || !level_file(id, path, sizeof path) || !(f = fopen(path, "r")))
        return STATUS_ERROR;
    n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    value = strtoul(text, &end, 10);
    if (end == text) /* empty or half-written: no level */
        return STATUS_ERROR;
    *level = value ? 1 : 0;
    return 0;
}

uint32_t SusiGPIOSetLevel(uint32_t id, uint32_t mask, uint32_t level)
{
    char path[4096];
    FILE *f;
    int ok;
    (void)mask;
    if (!level_file(id, path, sizeof path) || !(f = fopen(path, "w")))
        return STATUS_ERROR;
    ok = fputs(level ? "1\n" : "0\n", f) >= 0;
    return fclose(f) == 0 && ok ? 0 : STATUS_ERROR;
}
