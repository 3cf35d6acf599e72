/* The end of the companion module: how its proxy classes are constructed.
 *
 * SWIG 4 constructs through a per-class <Class>_swiginit function, which the extension module
 * removes from its dictionary (ProxyRuntime.i). Each class that has a new_<Class> function is
 * constructed here instead: new_<Class> makes the native value, owned by the returned pointer
 * object, and the instance keeps that object as its attribute `this`. */

%pythoncode %{
def _constructor(new):
    def __init__(self, *args):
        this = new(*args)
        try:
            self.this.append(this)
        except AttributeError:
            self.this = this
    return __init__


for _name, _class in list(globals().items()):
    if isinstance(_class, type) and hasattr(_DataServicePyWrapper, "new_" + _name):
        _class.__init__ = _constructor(getattr(_DataServicePyWrapper, "new_" + _name))
del _name, _class, _constructor
%}
