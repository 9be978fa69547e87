"""Minimal estimator bases, used only when scikit-learn is not installed.

They give the estimator scikit-learn's parameter protocol (get_params,
set_params, a readable repr) without depending on it.
"""
import inspect


class BaseEstimator:
    """Parameter handling in the scikit-learn manner."""

    @classmethod
    def _get_param_names(cls):
        sig = inspect.signature(cls.__init__)
        return sorted(p.name for p in sig.parameters.values()
                      if p.name != "self" and p.kind != p.VAR_KEYWORD)

    def get_params(self, deep=True):
        """Parameters of this estimator, as a dict."""
        return {name: getattr(self, name) for name in self._get_param_names()}

    def set_params(self, **params):
        """Set parameters of this estimator; returns self."""
        valid = self._get_param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"Invalid parameter {name!r} for estimator {self}. "
                                 f"Valid parameters are: {valid!r}.")
            setattr(self, name, value)
        return self

    def __repr__(self):
        defaults = {p.name: p.default
                    for p in inspect.signature(type(self).__init__).parameters.values()}
        changed = [f"{k}={v!r}" for k, v in self.get_params().items()
                   if not (v is defaults.get(k) or v == defaults.get(k))]
        return f"{type(self).__name__}({', '.join(changed)})"


class ClusterMixin:
    """Marks a clusterer."""

    _estimator_type = "clusterer"


class TransformerMixin:
    """Marks a transformer."""
