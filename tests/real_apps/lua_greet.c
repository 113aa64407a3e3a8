/* A Lua C module that the packed interpreter loads at run time by its bare name,
 * package.loadlib("greet.dll", "luaopen_greet"): the search then is the system's, from code
 * that nobody on this project wrote. */
#include "lauxlib.h"
#include "lua.h"

static int greet(lua_State* state)
{
    const char* who = luaL_checkstring(state, 1);
    lua_pushfstring(state, "hello, %s, from greet.dll", who);
    return 1;
}

__declspec(dllexport) int luaopen_greet(lua_State* state)
{
    lua_newtable(state);
    lua_pushcfunction(state, greet);
    lua_setfield(state, -2, "greet");
    return 1;
}
