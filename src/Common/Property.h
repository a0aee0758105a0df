#pragma once
// Setter body of a notifying property: stores the value and emits the change
// signal only when the value really changed. Returns whether it changed.
template<typename Obj, typename T, typename V, typename Signal>
bool updateProperty(Obj *obj, T &field, const V &value, Signal signal)
{
    if (field == value)
        return false;
    field = value;
    emit(obj->*signal)();
    return true;
}
